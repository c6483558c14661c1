// reader_test.cpp -- kvf_next_index: the stamp test and the skip-ahead
// sequence with its messages.
#include <gtest/gtest.h>

#include "test_image.h"
#include "viewer/reader.h"

namespace {

using viewer_test::Capture;
using viewer_test::TestImage;

class Reader : public ::testing::Test {
 protected:
  void ring(std::int32_t size, std::uint32_t head, std::uint32_t tail) { r = image.ring(size, head, tail); }
  kvf::NextIndex next(std::int32_t current) { return kvf::kvf_next_index(current, r); }
  void SetUp() override { kvf::reader_state() = kvf::ReaderState{}; }

  TestImage image;
  unsigned char* r = nullptr;
  Capture capture;
};

// Where the walk starts on each kind of ring is checked by the walk tests;
// these follow the chosen stamp and the skip sequence step by step.
TEST_F(Reader, EmptiedRingStartsAtZeroAndChangesNothing) {
  ring(100, 0, 0);
  kvf::reader_state().last_stamp = 77;
  EXPECT_EQ(next(5).index, 0);
  EXPECT_FALSE(next(5).max_skip);
  EXPECT_EQ(kvf::reader_state().last_stamp, 77u);
}

TEST_F(Reader, CalmRingStepsByOneEvenOverARewrittenSlot) {
  ring(100, 10, 0);
  EXPECT_EQ(next(-1).index, 0);
  EXPECT_EQ(kvf::reader_state().last_stamp, 1000u);
  EXPECT_EQ(next(0).index, 1);
  EXPECT_EQ(kvf::reader_state().last_stamp, 1001u);
  image.set_stamp(1, 5);
  EXPECT_EQ(next(1).index, 2);
  EXPECT_EQ(capture.text(), "");
}

TEST_F(Reader, SkipAheadDoublesUntilHalfTheRing) {
  ring(100, 49, 50);
  // Slot 55 unchanged since chosen, but its follower is only 6 past tail.
  kvf::reader_state().last_stamp = 1055;
  auto n = next(55);
  EXPECT_EQ(n.index, 70);
  EXPECT_FALSE(n.max_skip);
  EXPECT_EQ(kvf::reader_state().last_stamp, 1070u);
  // From now on slot 55 no longer has the chosen stamp: rewritten.
  n = next(55);
  EXPECT_EQ(n.index, 90);
  EXPECT_FALSE(n.max_skip);
  n = next(55);
  EXPECT_EQ(n.index, 30);  // (80 + 50) % 100
  EXPECT_TRUE(n.max_skip);
  n = next(55);
  EXPECT_EQ(n.index, 30);
  EXPECT_TRUE(n.max_skip);
  EXPECT_EQ(kvf::reader_state().skip_distance, 80);
  EXPECT_EQ(capture.text(),
            "possible buffer overrun, skipping ahead\n"
            "possible buffer overrun, skipping ahead\n"
            "possible buffer overrun, max skip ahead reached\n"
            "possible buffer overrun, max skip ahead reached\n");
}

TEST_F(Reader, RewrittenSlotSkipsEvenWithALargeLead) {
  ring(100, 39, 40);
  EXPECT_EQ(next(-1).index, 60);
  EXPECT_EQ(next(60).index, 61);  // unchanged stamp: lead 21
  image.set_stamp(61, 1);          // the writer took slot 61 while we read it
  auto n = next(61);
  EXPECT_EQ(n.index, 60);          // 40 + 20
  EXPECT_EQ(kvf::reader_state().skip_distance, 40);
  EXPECT_EQ(capture.text(), "possible buffer overrun, skipping ahead\n");
}

TEST_F(Reader, MaximumSkipToSlotZeroIsStillAMaximumSkip) {
  ring(100, 19, 20);
  kvf::reader_state().skip_distance = 80;
  next(-1);
  image.set_stamp(40, 1);
  auto n = next(40);
  EXPECT_EQ(n.index, 0);
  EXPECT_TRUE(n.max_skip);
}

TEST_F(Reader, RingOfOneSlot) {
  ring(1, 0, 0);
  EXPECT_EQ(next(-1).index, 0);
  image.set_indexes(1, 0);  // a writer mid-step: never calm, window 1
  EXPECT_EQ(next(-1).index, 0);
  auto n = next(0);
  EXPECT_EQ(n.index, 0);
  EXPECT_TRUE(n.max_skip);
  EXPECT_EQ(capture.text(), "possible buffer overrun, max skip ahead reached\n");
}

}  // namespace
