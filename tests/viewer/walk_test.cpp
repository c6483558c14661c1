// walk_test.cpp -- the one-pass view: where it starts and stops on calm,
// wrapped, small and emptied rings, the maximum skip, unreadable and faulting
// records, rings that are refused, and faults outside a walk; and the
// events the one-pass walk reports to its sink.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

#include "test_image.h"
#include "viewer/fault.h"
#include "viewer/reader.h"
#include "viewer/view.h"
#include "viewer/walk.h"

namespace {

using viewer_test::Args;
using viewer_test::Capture;
using viewer_test::Events;
using viewer_test::Hole;
using viewer_test::Record;
using viewer_test::TestImage;

using viewer_test::kHeader;
using viewer_test::kMaxSkip;
using viewer_test::kSkipped;
using viewer_test::line;
using viewer_test::lines;

class Walk : public ::testing::Test {
 protected:
  void SetUp() override { kvf::reader_state() = kvf::ReaderState{}; }
  void ring(std::int32_t size, std::uint32_t head, std::uint32_t tail) { image.ring(size, head, tail); }
  std::string view(bool dorvel = false, bool full = false, int want_status = 0) {
    Capture capture;
    EXPECT_EQ(kvf::kvf_view(dorvel, full, false), want_status);
    return capture.text();
  }

  TestImage image;
};

TEST_F(Walk, WhereTheWalkStartsAndStops) {
  EXPECT_EQ(view(), kHeader);  // no ring
  // A calm ring starts at tail, any other a window (20 slots, or half of a
  // smaller ring) past it.
  struct Case {
    std::int32_t size;
    std::uint32_t head, tail;
    std::string records;
  };
  const Case cases[] = {
      {100, 0, 0, ""},
      {100, 7, 7, ""},
      {100, 10, 0, lines(0, 9)},
      {100, 80, 0, lines(20, 79)},  // not more than a window before the end: not calm
      {100, 39, 40, lines(60, 99) + lines(0, 38)},
      {3, 2, 0, line(1)},  // window 1, never calm: slot 0 is inside the window
      {5, 0, 1, lines(3, 4)},
      {10, 3, 4, line(9) + lines(0, 2)},
      {10, 7, 8, lines(3, 6)},  // 8 + 5 wraps
      {19, 4, 5, lines(14, 18) + lines(0, 3)},
      // Window 20 on 20 slots: the start wraps to slot 0, and the next step
      // skips back to slot 0 at the maximum distance, which ends the walk.
      {20, 5, 0, line(0) + kMaxSkip},
      // A head outside the ring (a damaged dump) is never reached: the walk
      // ends there, also where the tail is outside too and the reader's lead
      // would never shrink (a ring of one with head -249 and tail -1 went
      // round for ever).
      {10, 12, 3, ""},
      {1, 0xFFFFFF07, 0xFFFFFFFF, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.size << " slots, head " << c.head << ", tail " << c.tail);
    kvf::reader_state() = kvf::ReaderState{};
    ring(c.size, c.head, c.tail);
    EXPECT_EQ(view(), kHeader + c.records);
  }
}

// The events of a walk that comes within a window of the tail before it
// reaches the head: the reader jumps ahead once, then at the maximum
// distance, which ends the walk; the record at slot 30 faults each time it
// is read.
TEST_F(Walk, EventsOfSkipsAheadAMaximumSkipAndAFault) {
  ring(50, 45, 40);
  Hole hole;
  image.write(30, Record{.file = hole.address(), .stamp = 1030, .args = {}});
  auto records = [](int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i) out.push_back(i == 30 ? "skipped 30" : "record " + std::to_string(i));
    return out;
  };
  // Not calm (5 slots after head): the walk starts a window (20) past tail,
  // at 10, and slot 40 (tail) is less than a window ahead of 39.
  std::vector<std::string> want = records(10, 39);
  want.push_back("ahead 39>10");  // distance 20, then 40
  for (const std::string& e : records(10, 39)) want.push_back(e);
  want.push_back("max 39>30");  // 40 is at least half of 50
  Events events;
  kvf::walk_once(events.sink());
  EXPECT_EQ(events.seen, want);
}

TEST_F(Walk, UnreadableAndFaultingRecordsAreSkippedAndAnIncompleteOneEndsTheWalk) {
  ring(100, 10, 0);
  // A page that the image table counts as mapped but that cannot be read,
  // and memory of the tool's own that is not image at all.
  Hole hole;
  static const char secret[] = "tool memory";
  Record r{.file = image.string("bad"), .format = image.string("x %s"), .args = Args().u64(hole.address())};
  image.write(1, r);
  r.args = Args().u64(TestImage::addr(secret));
  image.write(3, r);
  r.file = hole.address();
  image.write(5, r);
  image.write(7, Record{});
  EXPECT_EQ(view(), kHeader + line(0) + kSkipped + line(2) + kSkipped + line(4) + kSkipped + line(6));
}

TEST_F(Walk, HexDumpThatFaultsPartWayKeepsItsLinesBeforeTheSkipNote) {
  ring(100, 3, 0);
  std::uint64_t block = image.at_end("\x01\x02\x03");
  image.write(1, Record{.file = image.string("dump"), .format = image.string("got %r more"),
                        .args = Args().u64(block).i32(8)});
  EXPECT_EQ(view(), kHeader + line(0) + "got \n" + viewer_test::dump_address(block) + "  1  2  3" + kSkipped +
                        line(2));
}

TEST_F(Walk, FaultOutsideAWalkEndsTheProgram) {
  EXPECT_EXIT(
      {
        kvf::install_fault_handlers();
        Hole hole;
        std::printf("%d", *reinterpret_cast<volatile int*>(hole.address()));
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

TEST_F(Walk, RingOutsideTheImageIsRefused) {
  ring(100, 10, 0);
  static unsigned char elsewhere[16];
  image.set_ring(TestImage::addr(elsewhere), 100);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(view(false, false, 1), kHeader);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("is not within the shared memory image"),
            std::string::npos);
  // The header is in the image but the records array is not all there.
  unsigned char* ring = image.make_ring(10);
  image.set_ring(TestImage::addr(ring), 1 << 20);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(view(false, false, 1), kHeader);
  ::testing::internal::GetCapturedStderr();
}

}  // namespace
