// Image builder: layouts that cannot hold an image are refused, allocation
// spills over, the argument area's limit, and the ring wraps. How segments
// link up is checked where images are read: the attach and dump tests.
#include "sim/image_builder.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "layouts/segment_layout.h"

namespace {

using kvf::load;
using kvf::sim::ImageBuilder;
using kvf::sim::ImageOptions;
using kvf::sim::Record;
using kvf::sim::SegmentOptions;

TEST(ImageBuilder, RejectsLayoutsThatCannotHoldTheImage) {
  EXPECT_THROW(ImageBuilder({.segments = {SegmentOptions{.size = 4096}}}), std::invalid_argument);
  EXPECT_THROW(ImageBuilder({.segments = {SegmentOptions{.continues = true}}}), std::invalid_argument);
  EXPECT_THROW(ImageBuilder({.base = 0x200000000123ull}), std::invalid_argument);
  ImageBuilder small({.string_area = 0});
  EXPECT_THROW(small.allocate(1 << 20), std::length_error);
}

TEST(ImageBuilder, AllocationSpillsIntoLaterSegments) {
  ImageOptions options;
  options.segments = {SegmentOptions{.size = 480 * 1024}, SegmentOptions{.size = 64 * 1024}};
  options.ring_records = 0;
  ImageBuilder b(options);
  std::uint64_t big = b.allocate(40 * 1024);
  EXPECT_GE(big, b.segments()[1].base + kvf::segment::kSize);
  EXPECT_EQ(b.string("x.c"), b.string("x.c"));
}

// Packing itself is checked by the expansion tests that read it; here, the
// 80-byte argument area's limit.
TEST(ArgPacker, StopsAt80Bytes) {
  kvf::sim::ArgPacker full;
  for (int i = 0; i < 10; ++i) full.u64(i);
  EXPECT_EQ(full.used(), 80u);
  EXPECT_THROW(full.i32(1), std::length_error);
  // A %r block that does not fit whole is not written in part.
  kvf::sim::ArgPacker nearly;
  for (int i = 0; i < 18; ++i) nearly.i32(i);
  EXPECT_THROW(nearly.block(1, 1), std::length_error);
  EXPECT_EQ(nearly.used(), 72u);
  kvf::sim::ArgPacker exact;
  for (int i = 0; i < 17; ++i) exact.i32(i);
  EXPECT_NO_THROW(exact.block(1, 1));
  EXPECT_EQ(exact.used(), 80u);
}

TEST(ImageBuilder, AppendWrapsAndKeepsSizeMinusOneRecords) {
  ImageBuilder b({.ring_records = 3});
  Record r = b.record("a.c", 1);
  // head, tail after each append: once full, the oldest goes.
  const std::pair<std::uint32_t, std::uint32_t> after[] = {{1, 0}, {2, 0}, {0, 1}, {1, 2}};
  for (const auto& [head, tail] : after) {
    b.append_record(r);
    EXPECT_EQ(b.head(), head);
    EXPECT_EQ(b.tail(), tail);
  }
  // Each append gave a new stamp: slot 0 was written twice.
  EXPECT_EQ(load<std::uint32_t>(b.local(b.slot(0), kvf::record::kSize), kvf::record::kStamp), 4u);
  EXPECT_EQ(load<std::uint32_t>(b.local(b.slot(2), kvf::record::kSize), kvf::record::kStamp), 3u);
  EXPECT_THROW(b.slot(3), std::out_of_range);
}

}  // namespace
