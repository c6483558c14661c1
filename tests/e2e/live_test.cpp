// kavrex against a running stand-in server: the control commands reach the
// server's memory, dispatch errors come after the attach, and a tail walk
// carries on over a new ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using test::Installation;
using test::RunResult;

// Waits until `info` prints one of `texts` (the server applies some
// settings at its next trace event).
bool info_shows(const Installation& inst, const std::vector<std::string>& texts) {
  return test::eventually([&] {
    std::string out = inst.kavrex({"info"}).out;
    return std::find(texts.begin(), texts.end(), out) != texts.end();
  });
}

TEST(Live, ControlCommandsChangeTheServersSettings) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "50", "--rate", "200"});
  EXPECT_EQ(inst.kavrex({"info"}).out, "kavrex size 50\nkavrex off\n");
  for (auto args : std::vector<std::vector<std::string>>{
           {"on"}, {"lite", "-c", "KVF_BFR_MGR", "-f", "KVF_MEM", "KVF_CALL"}, {"SESSION", "007"},
           {"med", "-f", "KVF_ARGS", "-c", "KVF_EAR"}, {"off", "-c", "KVF_BFR_MGR", "-f", "KVF_CALL"}}) {
    RunResult r = inst.kavrex(args);
    EXPECT_EQ(r.status, 0) << args[0] << r.err;
    EXPECT_EQ(r.out + r.err, "") << args[0];
  }
  const std::string levels =
      "kavrex lite -c KVF_BFR_MGR -f KVF_MEM\nkavrex med -c KVF_EAR -f KVF_INFO\nkavrex med -c KVF_EAR -f KVF_ARGS\n";
  EXPECT_EQ(inst.kavrex({"info"}).out, "kavrex size 50\nkavrex session 7\n" + levels + "kavrex on\n");
  EXPECT_EQ(inst.kavrex({"size", "80"}).status, 0);
  EXPECT_EQ(inst.kavrex({"session"}).status, 0);
  EXPECT_EQ(inst.kavrex({"OFF"}).status, 0);
  // Tracing off: the new size waits for the server's next trace event, which
  // may have come just before.
  EXPECT_TRUE(info_shows(inst, {"kavrex current size               : 50\n"
                                "kavrex size after next trace event: 80\n" + levels + "kavrex off\n",
                                "kavrex size 80\n" + levels + "kavrex off\n"}));
}

TEST(Live, DispatchErrorsAfterTheAttach) {
  Installation inst;
  auto sim = inst.start_sim();
  for (auto args : std::vector<std::vector<std::string>>{
           {"View"}, {"size"}, {"size", "4"}, {"size", "abc"}, {"session", "12.5"}, {"lite", "KVF_BFR_MGR"},
           {"-t", "info"}, {"-V", "x"}}) {
    RunResult r = inst.kavrex(args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_EQ(r.err, test::kUsageText) << args[0];
  }
  RunResult r = inst.kavrex({"heavy", "-c", "KVF_MEM"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kavrex: unknown component: KVF_MEM\n");
  r = inst.kavrex({"heavy", "-c", "KVF_SORT", "-f", "KVF_SORT"});
  EXPECT_EQ(r.err, "kavrex: unknown feature: KVF_SORT\n");
  EXPECT_EQ(inst.kavrex({"info"}).out, "kavrex size 1000\nkavrex off\n");  // nothing written
}

TEST(Live, EmptyAndView) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "64", "--on", "--level", "3", "--count", "30"});
  ASSERT_TRUE(sim->wait_for_output("kavrex-sim: count reached\n")) << sim->err();
  RunResult full = inst.kavrex({"fview"});
  EXPECT_EQ(full.status, 0);
  std::string header = full.out.substr(0, full.out.find('\n') + 1);
  EXPECT_GE(std::count(full.out.begin(), full.out.end(), '\n'), 31) << full.out;
  EXPECT_EQ(inst.kavrex({"empty"}).status, 0);
  EXPECT_EQ(inst.kavrex({"fview"}).out, header);
}

// The gone message and how soon it comes are the reliability tests' concern;
// here a tail walk carries on over a replaced ring.
TEST(Live, TailGoesOnOverANewRing) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "100", "--on", "--level", "3", "--rate", "500"});
  test::Child tail({test::program("kavrex"), "-t", "fview"}, inst.options());
  ASSERT_TRUE(tail.wait_for_output("rsam/")) << tail.err();
  ASSERT_EQ(inst.kavrex({"size", "60"}).status, 0);
  // The server's next event replaces the ring; the tail goes on printing.
  ASSERT_TRUE(test::eventually([&] { return inst.kavrex({"info"}).out.rfind("kavrex size 60\n", 0) == 0; }));
  // Ten more lines, all from the new ring once the first few are past.
  auto lines = [&] { std::string o = tail.out(); return std::count(o.begin(), o.end(), '\n'); };
  const auto before = lines();
  EXPECT_TRUE(test::eventually([&] { return lines() >= before + 10; })) << tail.err();
  sim->signal(SIGTERM);
  ASSERT_EQ(sim->wait(), 0);
  EXPECT_EQ(tail.wait(), 0) << tail.err();
  EXPECT_NE(sim->out().find("kavrex-sim: ring replacements 1\n"), std::string::npos) << sim->out();
  std::string out = tail.out();
  EXPECT_EQ(out.find("Component "), 0u);
  EXPECT_EQ(out.find("Component ", 1), std::string::npos);  // no second header
  EXPECT_EQ(out.find("buffer overrun or formatting error"), std::string::npos);
  EXPECT_NE(out.find(" is gone!\n"), std::string::npos);
}

}  // namespace
