// kavrex's four views of the benchmark dump against the naive renderer, byte
// for byte, rendered on one, two and three threads: the guard on every change
// made to speed the views up. The dump is the benchmark's record mix, smaller,
// and the tool runs in an installation of its own (registry, catalogues) in a
// temporary directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <grp.h>
#include <unistd.h>

#include "support/process.h"

namespace {

class Identity : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    install_ = dir_.file("velmoran");
    fs::create_directories(install_ + "/etc");
    fs::create_directories(install_ + "/msg/en_us/0333");
    for (const auto& e : fs::directory_iterator(KAVREX_BUILD_DIR "/msg/en_us/0333"))
      fs::copy_file(e.path(), install_ + "/msg/en_us/0333/" + e.path().filename().string());
    const group* g = ::getgrgid(::getegid());
    ASSERT_NE(g, nullptr);
    test::RunResult reg = run({test::program("kavrex-reg"), "setup", kServer, "--dbsa-group", g->gr_name});
    ASSERT_EQ(reg.status, 0) << reg.err;
  }

  // `threads`: KAVREX_THREADS for the run, or nullptr to leave it unset.
  test::RunResult run(const std::vector<std::string>& argv, const char* threads = nullptr) {
    test::RunOptions o;
    o.env["VELMORANDIR"] = install_;
    o.env["VELMORANSERVER"] = kServer;
    if (threads) o.env["KAVREX_THREADS"] = threads;
    o.timeout = std::chrono::seconds(120);
    return test::run(argv, o);
  }

  static constexpr const char* kServer = "identity";
  test::TempDir dir_;
  std::string install_;
};

TEST_F(Identity, EveryViewOfTheBenchmarkDumpMatchesTheNaiveRenderer) {
  const std::string dump = dir_.file("records.dump");
  test::RunResult made = run({test::program("make_dump"), "-n", "50000", dump});
  ASSERT_EQ(made.status, 0) << made.err;
  for (const char* word : {"view", "fview", "rview", "frview"}) {
    test::RunResult naive = run({test::program("naive_render"), word, dump});
    ASSERT_EQ(naive.status, 0) << word << ": " << naive.err;
    // The one-thread walk, and the dump's records rendered on two and three.
    for (const char* threads : {"1", "2", "3"}) {
      test::RunResult tool = run({test::program("kavrex"), word, dump}, threads);
      ASSERT_EQ(tool.status, 0) << word << ": " << tool.err;
      EXPECT_GT(tool.out.size(), 50000u * 20) << word;
      if (tool.out == naive.out) continue;
      std::size_t at = 0;
      while (at < tool.out.size() && at < naive.out.size() && tool.out[at] == naive.out[at]) ++at;
      std::size_t line = tool.out.rfind('\n', at == 0 ? 0 : at - 1);
      line = line == std::string::npos ? 0 : line + 1;
      ADD_FAILURE() << word << " on " << threads << " threads: outputs differ at byte " << at << "\nkavrex: "
                    << tool.out.substr(line, tool.out.find('\n', line) - line) << "\nnaive:  "
                    << naive.out.substr(line, naive.out.find('\n', line) - line);
    }
  }
}

}  // namespace
