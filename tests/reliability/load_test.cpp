// The tool against a stand-in server under load: views while the writers
// run flat out, and many tool processes writing the control block at once.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "control/control_block.h"
#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "shm/live_attach.h"
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

// Cell values the test stores through its own attach: every cell's upper
// 28 bits differ, so a store into the wrong cell or over the word shows.
std::uint32_t upper_bits(int component, int feature) {
  return (0x9E3779B9u * static_cast<std::uint32_t>(component * 64 + feature + 1)) & ~kvf::control::kLevelMask;
}

TEST(Load, ManyToolsWriteTheControlBlockAtOnce) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "500", "--max-records", "3000", "--on", "--level", "1", "--rate", "5000"});
  // Attach from this process too, as a second administrator would, and
  // mark the upper bits of every cell.
  setenv("VELMORANDIR", inst.dir().c_str(), 1);
  setenv("VELMORANSERVER", inst.server().c_str(), 1);
  ASSERT_EQ(kvf::live_attach(0, true), 0);
  unsigned char* block = kvf::control_block();
  ASSERT_NE(block, nullptr);
  for (int c = 0; c < kvf::control::kComponentRows; ++c)
    for (int f = 0; f < kvf::control::kFeatureColumns; ++f) {
      std::size_t at = kvf::control::cell_offset(c, f);
      kvf::store_shared<std::uint32_t>(block, at, upper_bits(c, f) | (kvf::load_shared<std::uint32_t>(block, at) & 0xF));
    }

  const std::vector<std::vector<std::string>> commands{
      {"lite"}, {"med", "-c", "KVF_BFR_MGR", "KVF_SORT"}, {"heavy", "-f", "KVF_MEM", "KVF_INFO"},
      {"off", "-c", "KVF_MUTEX", "-f", "KVF_DEBUG"}, {"HEAVY", "-c", "KVF_LCK_MGR", "-f", "KVF_MEM"},
      {"on"}, {"off"}, {"session", "3"}, {"session"}, {"size", "80"}, {"size", "2500"}, {"SIZE", "7"},
      {"lite", "-f", "KVF_CALL", "-c", "KVF_DORVEL", "KVF_MUTEX"}, {"off", "-f"}};
  std::mt19937 random(7);
  int processes = 0;
  for (int round = 0; round < 8; ++round) {
    std::vector<std::unique_ptr<test::Child>> batch;
    for (int i = 0; i < 8; ++i) {
      std::vector<std::string> argv{test::program("kavrex")};
      const auto& args = commands[random() % commands.size()];
      argv.insert(argv.end(), args.begin(), args.end());
      batch.push_back(std::make_unique<test::Child>(argv, inst.options()));
    }
    for (auto& child : batch) {
      EXPECT_EQ(child->wait(), 0) << child->err();
      EXPECT_EQ(child->out() + child->err(), "");
      ++processes;
    }
    EXPECT_TRUE(sim->running()) << sim->err();
  }
  EXPECT_EQ(inst.kavrex({"on"}).status, 0);  // the server's next events apply the last size

  int damaged = 0;
  for (int c = 0; c < kvf::control::kComponentRows; ++c)
    for (int f = 0; f < kvf::control::kFeatureColumns; ++f)
      if ((kvf::load_shared<std::uint32_t>(block, kvf::control::cell_offset(c, f)) & ~kvf::control::kLevelMask) !=
          upper_bits(c, f))
        ++damaged;
  EXPECT_EQ(damaged, 0);
  kvf::live_detach();
  EXPECT_TRUE(sim->running());
  sim->signal(SIGTERM);
  EXPECT_EQ(sim->wait(), 0) << sim->err();
  EXPECT_EQ(test::shm_segments_created_by(sim->pid()), std::vector<int>{});
  figures("processes %d, cells damaged %d, server records written %s, ring replacements %s", processes, damaged,
          counter(sim->out(), "records written").c_str(), counter(sim->out(), "ring replacements").c_str());
}

}  // namespace
