// The tool against a stand-in server under load: views and a tail walk
// while the writers run flat out. (That a command writes only the level bits
// of the cells it names is the control commands' test.)
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "support/installation.h"
#include "view_lines.h"

namespace {

using namespace std::chrono_literals;
using reliability::check_full_view;
using test::Installation;
using test::RunResult;

// A counter the stand-in server prints when it ends.
std::string counter(const std::string& sim_out, const std::string& name) {
  std::size_t at = sim_out.find("kavrex-sim: " + name + " "), from = at + 13 + name.size();
  return at == std::string::npos ? "?" : sim_out.substr(from, sim_out.find('\n', at) - from);
}

// Prints the figures of a run and records them in the test report.
template <typename... Values>
void figures(const char* format, Values... values) {
  char text[512];
  std::snprintf(text, sizeof text, format, values...);
  ::testing::Test::RecordProperty("figures", text);
  std::printf("[ figures  ] %s\n", text);
}

TEST(Load, ViewsWhileTheWritersRunFlatOut) {
  Installation inst;
  constexpr std::int32_t kRing = 2000;
  auto sim = inst.start_sim({"--records", std::to_string(kRing), "--on", "--level", "3", "--flat-out", "--threads", "2"});
  test::Child tail({test::program("kavrex"), "-t", "fview"}, inst.options());

  // A fixed number of views, however long they take here.
  constexpr int kRuns = 8;
  int runs = 0, records = 0, torn = 0, skips = 0, max_skips = 0, laps = 0;
  while (runs < kRuns) {
    RunResult view = inst.kavrex({"fview"});
    ASSERT_EQ(view.status, 0) << view.err;
    EXPECT_EQ(view.err, "");
    auto c = check_full_view(view.out, true, kRing);
    for (const auto& p : c.problems) ADD_FAILURE() << "fview: " << p;
    records += c.records, torn += c.torn, skips += c.skipping, max_skips += c.max_skip, laps += c.silent_laps;
    RunResult info = inst.kavrex({"info"});
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.out.substr(0, 16), "kavrex size 2000");
    ++runs;
  }
  sim->signal(SIGTERM);
  ASSERT_EQ(sim->wait(), 0) << sim->err();
  ASSERT_EQ(tail.wait(60s), 0) << tail.err();
  EXPECT_EQ(tail.err(), "");
  auto t = check_full_view(tail.out(), false, kRing, sim->pid());
  for (const auto& p : t.problems) ADD_FAILURE() << "-t fview: " << p;
  EXPECT_GT(t.records, 0);
  EXPECT_GT(records, 0);

  figures("runs %d, records printed %d, torn lines told %d, skips %d, max skips %d, unannounced laps %d; tail "
          "records %d, tail skips %d/%d, tail unannounced laps %d; server records written %s",
          runs, records, torn, skips, max_skips, laps, t.records, t.skipping, t.max_skip, t.silent_laps,
          counter(sim->out(), "records written").c_str());
}

}  // namespace
