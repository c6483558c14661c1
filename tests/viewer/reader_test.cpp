// reader_test.cpp -- kvf_next_index: the stamp test and the skip-ahead
// sequence with the jumps it reports.
#include <gtest/gtest.h>

#include "test_image.h"
#include "viewer/reader.h"

namespace {

using viewer_test::Events;
using viewer_test::TestImage;
using Seen = std::vector<std::string>;

class Reader : public ::testing::Test {
 protected:
  void ring(std::int32_t size, std::uint32_t head, std::uint32_t tail) { r = image.ring(size, head, tail); }
  kvf::NextIndex next(std::int32_t current) { return kvf::kvf_next_index(current, r, events.sink()); }
  void expect_next(std::int32_t current, std::int32_t index, bool max_skip = false) {
    kvf::NextIndex n = next(current);
    EXPECT_EQ(n.index, index) << "after " << current;
    EXPECT_EQ(n.max_skip, max_skip) << "after " << current;
  }
  void SetUp() override { kvf::reader_state() = kvf::ReaderState{}; }

  TestImage image;
  unsigned char* r = nullptr;
  Events events;
};

// Where the walk starts on each kind of ring is checked by the walk tests;
// these follow the chosen stamp and the skip sequence step by step.
TEST_F(Reader, EmptiedRingStartsAtZeroAndChangesNothing) {
  ring(100, 0, 0);
  kvf::reader_state().last_stamp = 77;
  expect_next(5, 0);
  EXPECT_EQ(kvf::reader_state().last_stamp, 77u);
}

TEST_F(Reader, CalmRingStepsByOneEvenOverARewrittenSlot) {
  ring(100, 10, 0);
  expect_next(-1, 0);
  EXPECT_EQ(kvf::reader_state().last_stamp, 1000u);
  expect_next(0, 1);
  EXPECT_EQ(kvf::reader_state().last_stamp, 1001u);
  image.set_stamp(1, 5);
  expect_next(1, 2);
  EXPECT_EQ(events.seen, Seen{});
}

TEST_F(Reader, SkipAheadDoublesUntilHalfTheRing) {
  ring(100, 49, 50);
  // Slot 55 unchanged since chosen, but its follower is only 6 past tail.
  kvf::reader_state().last_stamp = 1055;
  expect_next(55, 70);
  EXPECT_EQ(kvf::reader_state().last_stamp, 1070u);
  // From now on slot 55 no longer has the chosen stamp: rewritten.
  expect_next(55, 90);
  expect_next(55, 30, true);  // (80 + 50) % 100
  expect_next(55, 30, true);
  EXPECT_EQ(kvf::reader_state().skip_distance, 80);
  EXPECT_EQ(events.seen, (Seen{"ahead 55>70", "ahead 55>90", "max 55>30", "max 55>30"}));
}

TEST_F(Reader, RewrittenSlotSkipsEvenWithALargeLead) {
  ring(100, 39, 40);
  expect_next(-1, 60);
  expect_next(60, 61);    // unchanged stamp: lead 21
  image.set_stamp(61, 1);  // the writer took slot 61 while we read it
  expect_next(61, 60);    // 40 + 20
  EXPECT_EQ(kvf::reader_state().skip_distance, 40);
  EXPECT_EQ(events.seen, Seen{"ahead 61>60"});
}

TEST_F(Reader, RingOfOneSlot) {
  ring(1, 0, 0);
  expect_next(-1, 0);
  image.set_indexes(1, 0);  // a writer mid-step: never calm, window 1
  expect_next(-1, 0);
  expect_next(0, 0, true);
  EXPECT_EQ(events.seen, Seen{"max 0>0"});
}

}  // namespace
