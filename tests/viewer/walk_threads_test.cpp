// walk_threads_test.cpp -- views of a dump rendered on several threads give
// the bytes of the one-thread walk, in all four layouts: over many parts,
// through skips to the maximum skip, with records that fault or cannot be
// read, hex dumps larger than a part's buffer or cut short by the image's
// end, and an incomplete record that ends the walk while later parts are
// already made; the reader state is left as one thread leaves it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

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

// The view of the image as a dump, on `threads` threads; with nullptr, as
// a live ring is walked (which reads everything afresh at every step).
Seen view_on(const char* threads, bool dorvel, bool full) {
  if (threads) setenv("KAVREX_THREADS", threads, 1);
  kvf::reader_state() = kvf::ReaderState{};
  Capture capture;
  EXPECT_EQ(kvf::kvf_view(dorvel, full, false, threads != nullptr), 0);
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

TEST(WalkThreads, EveryViewOfADumpIsThatOfTheLiveWalkOnOneTwoAndThreeThreads) {
  const Case cases[] = {
      {"no ring", [](TestImage&, const Hole&) {}, 1, 0, 0, 0},
      {"empty ring", [](TestImage& image, const Hole&) { image.ring(100, 7, 7); }, 1, 0, 0, 0},
      {"ring of one", [](TestImage& image, const Hole&) { image.ring(1, 0, 0); }, 1, 0, 0, 0},
      {"one record", [](TestImage& image, const Hole&) { image.ring(100, 1, 0); }, 2, 0, 0, 0},
      {"head outside the ring", [](TestImage& image, const Hole&) { image.ring(10, 12, 3); }, 1, 0, 0, 0},
      // Calm: slots 0 to 4999 in many parts.
      {"calm ring", [](TestImage& image, const Hole&) { image.ring(6000, 5000, 0); }, 5001, 0, 0, 0},
      // Gone round: from a window past tail up to the ring's end, round to
      // 0 and up to head, in runs of plain steps; and with tail at the
      // ring's end, from a window past it, round at 0.
      {"ring gone round", [](TestImage& image, const Hole&) { image.ring(6000, 2000, 2010); }, 1 + 3970 + 2000, 0, 0, 0},
      {"ring gone round, tail at its end", [](TestImage& image, const Hole&) { image.ring(6000, 5000, 5990); },
       1 + 4990, 0, 0, 0},
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
      // More formats and file names than a thread keeps, many alike and
      // several sharing the slots they are kept in, each in turn: formats
      // of every kind of piece (some with too many arguments, one running
      // off the image), file names short and too long to keep.
      {"many formats and file names",
       [](TestImage& image, const Hole&) {
         image.ring(6000, 5000, 0);
         const char* const kinds[] = {"%d items\\n", "%s=%x", "%ld %llu %llx %ll", "%5d %% %q\\", "%c%o%X%i %",
                                      "%p %e %g %E %G %f", "%r after %d",
                                      "%l%l%l%l%l%l%l%l%l%l %d %ll"};
         std::vector<std::uint64_t> formats, files;
         for (int i = 0; i < 600; ++i) {
           formats.push_back(image.string(std::to_string(i) + ": " + kinds[i % std::size(kinds)]));
           files.push_back(image.string(std::string(static_cast<std::size_t>(1 + i % 40), static_cast<char>('a' + i % 26))));
         }
         formats.push_back(image.at_end("runs off %d"));
         unsigned char* block = image.alloc(40);
         for (std::int32_t slot = 0; slot < 5000; ++slot) {
           std::size_t i = static_cast<std::size_t>(slot * 7 + slot / 600) % formats.size();
           Args args = i % std::size(kinds) == 6 ? Args().block(TestImage::addr(block), 20).i32(slot)
                                                 : Args().ptr(image.string("str")).i32(slot).u64(0x123456789ull);
           image.write(slot, Record{.file = files[static_cast<std::size_t>(slot * 13) % files.size()],
                                    .line = slot,
                                    .stamp = static_cast<std::uint32_t>(slot),
                                    .component = static_cast<std::uint32_t>(1 + slot % 120),
                                    .feature = static_cast<std::uint32_t>(1 + slot % 45),
                                    .format = formats[i],
                                    .args = args});
         }
       },
       // 623 records of two dump lines each, 624 whose message ends in a
       // line feed; the 8 of the format that runs off are skipped.
       1 + 5000 + 2 * 623 + 624, 8, 0, 0},
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
      Seen one = view_on(nullptr, dorvel, full);
      if (layout == 0) {
        EXPECT_EQ(count(one.text, "\n"), c.lines);
        EXPECT_EQ(count(one.text, kSkipped), c.skipped);
        EXPECT_EQ(count(one.text, kSkipAhead), c.ahead);
        EXPECT_EQ(count(one.text, kMaxSkip), c.max);
      }
      for (const char* threads : {"1", "2", "3"}) {
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

// What a view of a dump keeps (formats, file names) lasts that view only:
// a later one reads what the same addresses hold then, as when another dump
// is loaded where one was before.
TEST(WalkThreads, AViewOfADumpReadsItsFormatsAndNamesAfresh) {
  TestImage image(1u << 20);
  image.ring(100, 3, 0);
  const std::uint64_t format = image.string("first %d"), file = image.string("one.c");
  for (std::int32_t slot = 0; slot < 3; ++slot)
    image.write(slot, Record{.file = file, .line = slot, .format = format, .args = Args().i32(slot + 10)});
  for (const char* threads : {"1", "2"}) {
    SCOPED_TRACE(::testing::Message() << threads << " threads");
    std::memcpy(reinterpret_cast<char*>(format), "first %d", 9);
    std::memcpy(reinterpret_cast<char*>(file), "one.c", 6);
    Seen before = view_on(threads, false, false);
    EXPECT_EQ(count(before.text, "one.c"), 3u);
    EXPECT_EQ(count(before.text, "first 1"), 3u);
    std::memcpy(reinterpret_cast<char*>(format), "other %x", 9);
    std::memcpy(reinterpret_cast<char*>(file), "two.c", 6);
    Seen after = view_on(threads, false, false);
    EXPECT_EQ(after.text, view_on(nullptr, false, false).text);
    EXPECT_EQ(count(after.text, "two.c"), 3u);
    EXPECT_EQ(count(after.text, "other "), 3u);
  }
}

}  // namespace
