// kavrex against a running stand-in server: the control commands reach the
// server's memory, dispatch errors come after the attach, and a tail walk
// ends when the server does.
#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <string>
#include <filesystem>
#include <thread>

#include "support/installation.h"

namespace {

using namespace std::chrono_literals;
using test::Installation;
using test::RunResult;

// Waits until `info` prints `text` (the server applies some settings at its
// next trace event).
bool info_shows(const Installation& inst, const std::string& text) {
  for (int i = 0; i < 200; ++i) {
    if (inst.kavrex({"info"}).out == text) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
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
  EXPECT_EQ(inst.kavrex({"info"}).out,
            "kavrex size 50\n"
            "kavrex session 7\n"
            "kavrex lite -c KVF_BFR_MGR -f KVF_MEM\n"
            "kavrex med -c KVF_EAR -f KVF_INFO\n"
            "kavrex med -c KVF_EAR -f KVF_ARGS\n"
            "kavrex on\n");
  EXPECT_EQ(inst.kavrex({"size", "80"}).status, 0);
  EXPECT_EQ(inst.kavrex({"session"}).status, 0);
  EXPECT_EQ(inst.kavrex({"OFF"}).status, 0);
  // Tracing off: the new size waits for the server's next trace event,
  // which comes only once tracing is on again.
  EXPECT_TRUE(info_shows(inst,
                         "kavrex current size               : 50\n"
                         "kavrex size after next trace event: 80\n"
                         "kavrex lite -c KVF_BFR_MGR -f KVF_MEM\n"
                         "kavrex med -c KVF_EAR -f KVF_INFO\n"
                         "kavrex med -c KVF_EAR -f KVF_ARGS\n"
                         "kavrex off\n") ||
              info_shows(inst,
                         "kavrex size 80\n"
                         "kavrex lite -c KVF_BFR_MGR -f KVF_MEM\n"
                         "kavrex med -c KVF_EAR -f KVF_INFO\n"
                         "kavrex med -c KVF_EAR -f KVF_ARGS\n"
                         "kavrex off\n"));
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
  // An account that may not administer the server is refused before the
  // attach, with the server running.
  inst.register_nobody();
  RunResult nobody = inst.kavrex_as_nobody({"on"});
  EXPECT_EQ(nobody.status, 1);
  EXPECT_NE(nobody.out.find("not allowed to administer"), std::string::npos) << nobody.out;
  EXPECT_EQ(inst.kavrex({"info"}).out, "kavrex size 1000\nkavrex off\n");
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

TEST(Live, TailEndsWhenTheServerIsGone) {
  Installation inst;
  auto sim = inst.start_sim({"--records", "100", "--on", "--level", "3", "--rate", "500"});
  test::RunOptions o = inst.options();
  test::Child tail({test::program("kavrex"), "-t", "fview"}, o);
  std::this_thread::sleep_for(300ms);
  // A new ring: the walk starts again on it, without a second header.
  ASSERT_EQ(inst.kavrex({"size", "60"}).status, 0);
  std::this_thread::sleep_for(100ms);  // the server's next event replaces the ring
  std::size_t before = tail.out().size();
  std::this_thread::sleep_for(300ms);
  EXPECT_GT(tail.out().size(), before);  // the walk goes on on the new ring
  sim->signal(SIGTERM);
  ASSERT_EQ(sim->wait(), 0);
  auto stopped = std::chrono::steady_clock::now();
  int status = tail.wait(5s);
  auto took = std::chrono::steady_clock::now() - stopped;
  EXPECT_EQ(status, 0) << tail.err();
  std::string out = tail.out();
  std::string gone = "The server process " + std::to_string(sim->pid()) + " is gone!\n";
  ASSERT_GE(out.size(), gone.size());
  EXPECT_EQ(out.substr(out.size() - gone.size()), gone);
  EXPECT_GT(std::count(out.begin(), out.end(), '\n'), 10);
  EXPECT_EQ(out.find("Component "), 0u);
  EXPECT_EQ(out.find("Component ", 1), std::string::npos);
  EXPECT_NE(sim->out().find("kavrex-sim: ring replacements 1\n"), std::string::npos) << sim->out();
  EXPECT_EQ(out.find("buffer overrun or formatting error"), std::string::npos);
  // Every line is whole.
  EXPECT_EQ(out.back(), '\n');
  EXPECT_LT(took, 2s);
}

}  // namespace

namespace {

TEST(Live, StandInServerSetsUpItsRegistryWhenAsked) {
  test::TempDir dir;
  test::RunOptions o;
  o.env["VELMORANDIR"] = dir.path();
  o.env["VELMORANSERVER"] = "fresh";
  std::filesystem::copy(std::string(KAVREX_BIN_DIR) + "/../msg", dir.file("msg"),
                        std::filesystem::copy_options::recursive);
  // Without the server's keys the account checks fail.
  EXPECT_EQ(test::run({test::program("kavrex"), "info"}, o).status, 1);
  test::Child sim({test::program("kavrex-sim"), "--registry", "nogroup", "--records", "20"}, o);
  ASSERT_TRUE(sim.wait_for_output("kavrex-sim: ready\n")) << sim.err();
  EXPECT_NE(sim.out().find("VLDBSA Group"), std::string::npos);
  RunResult r = test::run({test::program("kavrex"), "info"}, o);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "kavrex size 20\nkavrex off\n");
}

}  // namespace
