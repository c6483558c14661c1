// walk_threads_test.cpp -- views of a dump rendered on several threads give
// the bytes of the one-thread walk, in all four layouts: over many parts,
// through skips to the maximum skip, with records that fault or cannot be
// read, hex dumps larger than a part's buffer or cut short by the image's
// end, and an incomplete record that ends the walk while later parts are
// already made; the reader state is left as one thread leaves it. And how
// KAVREX_THREADS is read.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "layouts/ring_layout.h"
#include "test_image.h"
#include "viewer/reader.h"
#include "viewer/view.h"
#include "viewer/walk_threads.h"

namespace {

using viewer_test::Args;
using viewer_test::Capture;
using viewer_test::Hole;
using viewer_test::Record;
using viewer_test::TestImage;

using viewer_test::kMaxSkip;
using viewer_test::kSkipAhead;
using viewer_test::kSkipped;

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

struct Seen {
  std::string text;
  kvf::ReaderState state;
};

// The view of the image as a dump, on `threads` threads.
Seen view_on(const char* threads, bool dorvel, bool full) {
  setenv("KAVREX_THREADS", threads, 1);
  kvf::reader_state() = kvf::ReaderState{};
  Capture capture;
  EXPECT_EQ(kvf::kvf_view(dorvel, full, false, true), 0);
  unsetenv("KAVREX_THREADS");
  return {capture.text(), kvf::reader_state()};
}

struct Case {
  const char* name;
  std::function<void(TestImage&, const Hole&)> build;
  // What the one-thread view of the narrow layout shows, so that each case
  // is known to walk what it is about.
  std::size_t lines;
  std::size_t skipped, ahead, max;
};

// A hex dump record: `count` bytes from `block`.
Record dump_record(TestImage& image, std::uint64_t block, std::int32_t count) {
  return Record{.file = image.string("dump"), .line = 7, .stamp = 5, .format = image.string("got %r then %d"),
                .args = Args().block(block, count).i32(9)};
}

TEST(WalkThreads, EveryViewIsTheSameOnOneTwoAndThreeThreads) {
  const Case cases[] = {
      {"no ring", [](TestImage&, const Hole&) {}, 1, 0, 0, 0},
      {"empty ring", [](TestImage& image, const Hole&) { image.ring(100, 7, 7); }, 1, 0, 0, 0},
      {"ring of one", [](TestImage& image, const Hole&) { image.ring(1, 0, 0); }, 1, 0, 0, 0},
      {"one record", [](TestImage& image, const Hole&) { image.ring(100, 1, 0); }, 2, 0, 0, 0},
      {"head outside the ring", [](TestImage& image, const Hole&) { image.ring(10, 12, 3); }, 1, 0, 0, 0},
      // Calm: slots 0 to 4999 in many parts.
      {"calm ring", [](TestImage& image, const Hole&) { image.ring(6000, 5000, 0); }, 5001, 0, 0, 0},
      // Head just past tail, within a window of the end: each pass runs
      // from tail + distance round to tail - 1 and jumps; at distance 2560
      // (half of 3000 or more) the walk ends. 8 passes of 2980, 2980, 2960,
      // 2920, 2840, 2680, 2360 and 1720 records. The last record of each
      // pass, just before each jump, faults.
      {"skips to the maximum",
       [](TestImage& image, const Hole& hole) {
         image.ring(3000, 2990, 2985);
         image.write(2984, Record{.file = hole.address(), .stamp = 1, .args = {}});
       },
       1 + 21440 + 7 + 1, 8, 7, 1},
      // Records that fault on a file name, a string, a format or a dorvel
      // string; one whose string is the tool's own memory; a dump cut short
      // by the image's end; all in several parts, two at a part's edges.
      {"faulting and unreadable records",
       [](TestImage& image, const Hole& hole) {
         image.ring(5000, 4000, 0);
         static const char tool_memory[] = "tool memory";
         Record r{.file = image.string("bad"), .format = image.string("x %s"), .args = Args().ptr(hole.address())};
         image.write(3, r);
         r.args = Args().ptr(TestImage::addr(tool_memory));
         image.write(1023, r);
         image.write(1024, Record{.file = hole.address(), .stamp = 1, .args = {}});
         image.write(2047, Record{.file = image.string("fmt"), .format = hole.address(), .args = {}});
         // A dorvel record faults only in the layouts that read its strings.
         image.write(2500, Record{.file = image.string("dv"), .component = 18, .args = Args().ptr(hole.address())});
         image.write(3333, dump_record(image, image.at_end(std::string(40, '\x5a')), 64));
       },
       // 4000 records, 5 of them skipped in the narrow native layout; the
       // cut dump adds 3 lines.
       1 + 4000 + 3, 5, 0, 0},
      // Dumps longer than a part keeps, one of them running off the image
      // after that much; each is followed by ordinary lines.
      {"hex dumps larger than a part",
       [](TestImage& image, const Hole&) {
         image.ring(3000, 2500, 0);
         unsigned char* block = image.alloc(400000);
         for (std::size_t i = 0; i < 400000; ++i) block[i] = static_cast<unsigned char>(i * 7);
         image.write(10, dump_record(image, TestImage::addr(block), 400000));
         image.write(1500, dump_record(image, TestImage::addr(block) + 3, 300001));
         image.write(2400, dump_record(image, image.at_end(std::string(300000, '\x11')), 350000));
       },
       1 + 2500 + 400000 / 16 + (300001 / 16 + 1) + (300000 / 16 + 1), 1, 0, 0},
      // An incomplete record ends the first pass of the walk above in its
      // third part, while the parts made ahead (two per thread) have passed
      // the reader's first jump: the reader state must be the one at the
      // incomplete record.
      {"incomplete record late in the first pass",
       [](TestImage& image, const Hole&) {
         image.ring(3000, 2990, 2985);
         image.write(2880, Record{});
       },
       1 + 2875, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestImage image(16u << 20);
    Hole hole;
    c.build(image, hole);
    for (int layout = 0; layout < 4; ++layout) {
      bool dorvel = layout & 1, full = layout & 2;
      SCOPED_TRACE(::testing::Message() << (dorvel ? "dorvel " : "native ") << (full ? "wide" : "narrow"));
      Seen one = view_on("1", dorvel, full);
      if (layout == 0) {
        EXPECT_EQ(count(one.text, "\n"), c.lines);
        EXPECT_EQ(count(one.text, kSkipped), c.skipped);
        EXPECT_EQ(count(one.text, kSkipAhead), c.ahead);
        EXPECT_EQ(count(one.text, kMaxSkip), c.max);
      }
      for (const char* threads : {"2", "3"}) {
        SCOPED_TRACE(::testing::Message() << threads << " threads");
        Seen many = view_on(threads, dorvel, full);
        EXPECT_TRUE(many.text == one.text) << "the views part at byte " << [&] {
          std::size_t i = 0;
          while (i < one.text.size() && i < many.text.size() && one.text[i] == many.text[i]) ++i;
          return i;
        }() << " of " << one.text.size() << " (" << many.text.size() << ")";
        EXPECT_EQ(many.state.skip_distance, one.state.skip_distance);
        EXPECT_EQ(many.state.last_stamp, one.state.last_stamp);
      }
    }
  }
}

TEST(WalkThreads, ThreadsFromTheEnvironment) {
  struct Row {
    const char* value;
    unsigned online;
    int threads;
  };
  const Row rows[] = {
      {nullptr, 2, 2},  // unset: every online CPU
      {nullptr, 0, 1},  // the count unknown
      {nullptr, 200, kvf::kMaxWalkThreads},
      {"1", 8, 1},
      {"3", 2, 3},  // more than the CPUs, as asked
      {"33", 2, kvf::kMaxWalkThreads},
      {"99999999999999999999999", 2, kvf::kMaxWalkThreads},
      // Anything but a whole number from 1 is ignored.
      {"", 4, 4},
      {"0", 4, 4},
      {"-2", 4, 4},
      {"+2", 4, 4},
      {" 2", 4, 4},
      {"2 ", 4, 4},
      {"2x", 4, 4},
      {"two", 4, 4},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.value ? r.value : "(unset)");
    EXPECT_EQ(kvf::walk_threads(r.value, r.online), r.threads);
  }
}

}  // namespace
