// kavrex-sim as a running process, as far as the tool's tests rely on it:
// its writers as the tool's live attach sees them, its dump file with every
// conversion of the message language, and that it leaves nothing behind.
// Its usage errors are command_line_test's.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <signal.h>
#include <unistd.h>

#include "control/control_block.h"
#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "shm/image.h"
#include "shm/live_attach.h"
#include "support/installation.h"

namespace {

using namespace std::chrono_literals;

class SimProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELMORANDIR", inst_.dir().c_str(), 1);
    setenv("VELMORANSERVER", inst_.server().c_str(), 1);
  }
  void TearDown() override {
    kvf::live_detach();
    unsetenv("VELMORANDIR");
    unsetenv("VELMORANSERVER");
  }
  std::string info_path() const { return inst_.file("etc/.infos." + inst_.server()); }
  bool info_file_exists() const { return std::filesystem::exists(info_path()); }
  std::unique_ptr<test::Child> sim(const std::vector<std::string>& args) { return inst_.start_sim(args); }
  // Stops `sim` with `sig` and checks that it removed everything.
  void stop_and_check_clean(test::Child& sim, int sig = SIGTERM) {
    kvf::live_detach();
    pid_t pid = sim.pid();
    EXPECT_FALSE(test::shm_segments_created_by(pid).empty());
    sim.signal(sig);
    EXPECT_EQ(sim.wait(), 0) << sim.err();
    EXPECT_TRUE(test::shm_segments_created_by(pid).empty());
    EXPECT_FALSE(info_file_exists());
    EXPECT_NE(sim.out().find("kavrex-sim: records written "), std::string::npos);
  }

  test::Installation inst_;
};

struct Seen {
  std::uint32_t stamp;
  std::string file;
};

// The complete records from tail to head. A slot that changes while it is
// read (file 0 or another stamp) is left out.
std::vector<Seen> records() {
  std::vector<Seen> out;
  unsigned char* block = kvf::control_block();
  if (!block) return out;
  std::uint64_t ring = kvf::ring_address(block);
  std::int32_t size = kvf::ring_size(block);
  if (!ring || size <= 0) return out;
  const unsigned char* h = kvf::address(ring);
  std::uint32_t head = kvf::load_shared<std::uint32_t>(h, kvf::ring::kHead);
  std::uint32_t tail = kvf::load_shared<std::uint32_t>(h, kvf::ring::kTail);
  std::uint64_t slots = kvf::load<std::uint64_t>(h, kvf::ring::kRecords);
  for (std::uint32_t i = tail; i != head; i = (i + 1) % static_cast<std::uint32_t>(size)) {
    const unsigned char* r = kvf::address(slots + std::uint64_t{i} * kvf::record::kSize);
    std::uint32_t stamp = kvf::load_shared<std::uint32_t>(r, kvf::record::kStamp);
    std::uint64_t file = kvf::load_shared<std::uint64_t>(r, kvf::record::kFile);
    Seen s{stamp, file ? reinterpret_cast<const char*>(kvf::address(file)) : ""};
    if (file == 0 || kvf::load_shared<std::uint32_t>(r, kvf::record::kStamp) != stamp ||
        kvf::load_shared<std::uint64_t>(r, kvf::record::kFile) != file)
      continue;
    out.push_back(s);
  }
  return out;
}

// Tracing off and on. Each segment layout is the snapshot test's, the
// server's pid the follow test's (the server_gone line), a new ring at the
// requested size the live tail test's (it counts the server's replacements).
TEST_F(SimProcess, WritersFollowTheTraceSwitch) {
  auto sim = this->sim({"--level", "3", "--rate", "1000", "--records", "400"});
  ASSERT_EQ(kvf::live_attach(0, true), 0);
  unsigned char* block = kvf::control_block();
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(kvf::usable_control_block());
  EXPECT_EQ(kvf::ring_size(block), 400);

  // Tracing starts off: nothing is recorded, whatever the levels. Once on,
  // records arrive, complete, in the writers' order, from every trace point.
  test::sleep_ms(200);
  EXPECT_TRUE(records().empty());
  kvf::set_trace_on(block, true);
  std::vector<Seen> seen;
  std::set<std::string> files;
  EXPECT_TRUE(test::eventually([&] {
    seen = records();
    files.clear();
    for (const Seen& s : seen) files.insert(s.file);
    return files.size() >= 7;
  }));
  EXPECT_EQ(files.size(), 7u);
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_LT(seen[i - 1].stamp, seen[i].stamp);

  stop_and_check_clean(*sim, SIGINT);
}

// A counted run: every record, in order, every conversion of the message
// language among the formats, and the KVF_DORVEL layout. (Its dump is the
// memory: the snapshot test holds a snapshot of it against the dump.)
TEST_F(SimProcess, CountedRunOffersEveryConversion) {
  auto sim = this->sim({"--on", "--level", "3", "--threads", "1", "--flat-out", "--count", "50", "--records", "64"});
  ASSERT_TRUE(sim->wait_for_output("kavrex-sim: count reached\n"));
  ASSERT_EQ(kvf::live_attach(0, true), 0);
  ASSERT_NE(kvf::control_block(), nullptr);
  const unsigned char* ring = kvf::address(kvf::ring_address(kvf::control_block()));
  EXPECT_EQ(kvf::load<std::uint32_t>(ring, kvf::ring::kHead), 50u);
  EXPECT_EQ(kvf::load<std::uint32_t>(ring, kvf::ring::kTail), 0u);
  auto slot = [&](std::uint32_t i) {
    return kvf::address(kvf::load<std::uint64_t>(ring, kvf::ring::kRecords) + i * kvf::record::kSize);
  };
  auto text = [](std::uint64_t address) { return std::string(reinterpret_cast<const char*>(kvf::address(address))); };
  std::string formats;
  bool dorvel = false;
  for (std::uint32_t i = 0; i < 50; ++i) {
    const unsigned char* r = slot(i);
    EXPECT_EQ(kvf::load<std::uint32_t>(r, kvf::record::kStamp), i + 1);
    EXPECT_EQ(kvf::load<std::int32_t>(r, kvf::record::kPid), sim->pid());
    EXPECT_NE(text(kvf::load<std::uint64_t>(r, kvf::record::kFile)).find('.'), std::string::npos);
    if (std::uint64_t f = kvf::load<std::uint64_t>(r, kvf::record::kFormat)) formats += text(f) + "\n";
    if (kvf::load<std::uint32_t>(r, kvf::record::kComponent) == kvf::record::kDorvelComponent) {
      dorvel = true;
      // Two of the server's strings, then the line number.
      const std::set<std::string> names = {"bufpool", "lockpool", "sortpool", "global", "mt_pool_7", "x"};
      for (std::size_t field : {kvf::record::kDorvelFirst, kvf::record::kDorvelSecond})
        EXPECT_TRUE(names.count(text(kvf::load<std::uint64_t>(r, field))));
      std::int32_t line = kvf::load<std::int32_t>(r, kvf::record::kDorvelLine);
      EXPECT_TRUE(line >= 100 && line < 1000) << line;
    }
  }
  EXPECT_TRUE(dorvel);
  // The slot at head waits for the next record: incomplete, and already
  // carrying that record's stamp, so a reader waiting on it sees no rewrite.
  EXPECT_EQ(kvf::load<std::uint64_t>(slot(50), kvf::record::kFile), 0u);
  EXPECT_EQ(kvf::load<std::uint32_t>(slot(50), kvf::record::kStamp), 51u);
  for (const char* conversion : {"%d", "%i", "%o", "%x", "%X", "%c", "%s", "%p", "%e", "%E", "%f", "%g", "%G",
                                 "%l\n", "%ll ", "%llu", "%llx", "%r", "%%", "\\\""})
    EXPECT_NE(formats.find(conversion), std::string::npos) << conversion;

  stop_and_check_clean(*sim);
  EXPECT_NE(sim->out().find("kavrex-sim: trace points 50\nkavrex-sim: records written 50\n"), std::string::npos)
      << sim->out();
}

// A killed server's segments and information file go.
TEST_F(SimProcess, AKilledServerIsCleanedUpAfter) {
  auto sim = this->sim({"--segments", "2", "--pieces", "2", "--continuation"});
  const pid_t pid = sim->pid();
  EXPECT_EQ(test::shm_segments_created_by(pid).size(), 5u);  // 2 + 1 pieces in the first span, 2 more
  sim->signal(SIGKILL);
  EXPECT_EQ(sim->wait(), 128 + SIGKILL);
  EXPECT_TRUE(test::eventually([&] { return test::shm_segments_created_by(pid).empty(); }));
  EXPECT_TRUE(test::eventually([&] { return !info_file_exists(); }));
}

}  // namespace
