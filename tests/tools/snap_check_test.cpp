// kavrex-snap --check on built dumps: whole ones (with their segment count,
// bytes and ring), dumps cut at every kind of place, files that are not
// dumps (each breaking one rule of shm/dump_layout.cpp) and dumps whose
// chain to the ring leaves the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "layouts/segment_layout.h"
#include "layouts/shmcb_layout.h"
#include "shm/dump_layout.h"
#include "sim/image_builder.h"
#include "support/process.h"

namespace {

using kvf::sim::ImageBuilder;
using kvf::sim::ImageOptions;
using kvf::sim::SegmentOptions;

test::RunResult check(const std::vector<std::string>& args) { return test::run_program("kavrex-snap", args); }

// A dump with a few records, and what its own builder says about it.
struct Fixture {
  std::string bytes;
  std::vector<std::uint64_t> sizes;  // of the segments
  std::uint64_t base = 0, shmcb = 0, control = 0, ring = 0;

  std::uint64_t offset(std::uint64_t address) const { return address - base; }  // first segment only
  template <typename T>
  void put(std::uint64_t offset, T value) {
    kvf::store<T>(bytes.data(), offset, value);
  }
};

Fixture build(const ImageOptions& options, int records = 3) {
  ImageBuilder image(options);
  for (int i = 0; i < records; ++i) image.append_record(image.record("check.c", i, "record %d"));
  Fixture f;
  f.bytes = image.dump();
  for (const auto& s : image.segments()) f.sizes.push_back(s.size);
  f.base = image.segments()[0].base;
  f.shmcb = image.shmcb();
  f.control = image.control_block();
  if (f.control && options.ring_records > 0) f.ring = image.ring();
  return f;
}

const ImageOptions kOne{.ring_records = 8};
const ImageOptions kThree{.segments = {SegmentOptions{}, SegmentOptions{.size = 65536}, SegmentOptions{.size = 65536}},
                          .ring_records = 8};

TEST(SnapCheck, DumpsWholeCutAndNot) {
  const Fixture one = build(kOne), three = build(kThree);
  const std::string no_block = build({.ring_records = 8, .control_block = false}, 0).bytes;
  const std::string no_ring = build({.ring_records = 0}, 0).bytes;
  const std::uint64_t s1 = three.sizes[0], total = three.bytes.size();
  const std::string ring = ", ring size 8, head 3, tail 0";  // three records built

  struct Case {
    const char* name;
    std::string bytes;
    std::string said;        // after "FILE: " on standard output, or on standard error
    const char* why = "";    // the rule a file that is not a dump breaks
  };
  auto with = [](Fixture f, const std::function<void(Fixture&)>& change) {
    change(f);
    return f.bytes;
  };
  auto cut = [](const Fixture& f, std::uint64_t n) { return f.bytes.substr(0, n); };
  auto truncated = [](std::uint64_t n, std::uint64_t m) {
    return "truncated dump (" + std::to_string(n) + " of " + std::to_string(m) + " bytes)";
  };
  const std::string not_a_dump = "not a dump file";
  auto hex = [](std::uint64_t v) {
    char t[32];
    std::snprintf(t, sizeof t, "%llx", static_cast<unsigned long long>(v));
    return std::string(t);
  };
  const std::uint64_t second = s1;  // the second segment's header in the file
  const std::vector<Case> cases = {
      {"one segment", one.bytes, "1 segment(s), " + std::to_string(one.bytes.size()) + " bytes" + ring},
      {"three segments", three.bytes, "3 segment(s), " + std::to_string(total) + " bytes" + ring},
      {"bytes after the last segment", one.bytes + "junk",
       "1 segment(s), " + std::to_string(one.bytes.size()) + " bytes (and 4 bytes after them)" + ring},
      {"no trace control block", no_block, "1 segment(s), " + std::to_string(no_block.size()) +
                                               " bytes, no trace control block"},
      {"no ring", no_ring, "1 segment(s), " + std::to_string(no_ring.size()) + " bytes, no trace ring"},

      // Cut: inside the shmcb (the count unknown: the first segment is the
      // least), inside a segment after it and at the next segment's header
      // (each missing header counts 736 bytes), and one byte short of the
      // end.
      {"cut inside the shmcb", cut(three, 800), truncated(800, s1)},
      {"cut inside the first segment", cut(three, s1 - 1), truncated(s1 - 1, s1 + 2 * 736)},
      {"cut after the first segment", cut(three, s1), truncated(s1, s1 + 2 * 736)},
      {"cut one byte short", cut(three, total - 1), truncated(total - 1, total)},

      {"shorter than a header", cut(one, 735), not_a_dump, "shorter than a segment header"},
      {"no segment mark", with(one, [](Fixture& f) { f.put<std::uint16_t>(kvf::segment::kMark, 0); }), not_a_dump,
       "no segment mark"},
      {"first segment at 0", with(one, [](Fixture& f) { f.put<std::uint64_t>(kvf::segment::kBase, 0); }),
       not_a_dump, "first segment at address 0"},
      {"shmcb over the header",
       with(one, [](Fixture& f) { f.put<std::uint64_t>(kvf::segment::kOverhead, kvf::shmcb::kSize + 100); }),
       not_a_dump, "no room for the shmcb in the first segment"},
      {"no shmcb mark", with(one, [](Fixture& f) { f.put<std::uint16_t>(f.offset(f.shmcb) + kvf::shmcb::kMark, 0); }),
       not_a_dump, "no shmcb mark"},
      {"no segments counted",
       with(one, [](Fixture& f) { f.put<std::int16_t>(f.offset(f.shmcb) + kvf::shmcb::kSegmentCount, -1); }),
       not_a_dump, "no segments counted"},
      {"another first segment",
       with(one, [](Fixture& f) { f.put<std::uint64_t>(f.offset(f.shmcb) + kvf::shmcb::kFirstBase, f.base + 4096); }),
       not_a_dump, "shmcb names another first segment"},
      {"second header without its mark",
       with(three, [&](Fixture& f) { f.put<std::uint16_t>(second + kvf::segment::kMark, 0x1234); }), not_a_dump,
       "no segment mark"},
      {"second segment smaller than its header",
       with(three, [&](Fixture& f) { f.put<std::uint64_t>(second + kvf::segment::kSegmentSize, 735); }), not_a_dump,
       "segment smaller than its header"},
      {"sizes that overflow",
       with(three, [&](Fixture& f) { f.put<std::uint64_t>(second + kvf::segment::kSegmentSize, ~0ull - 100); }),
       not_a_dump, "segment sizes overflow"},

      // Whole, but the chain to the ring leaves the file.
      {"root record outside",
       with(one, [](Fixture& f) { f.put<std::uint64_t>(f.offset(f.shmcb) + kvf::shmcb::kRootHead, 0x1000); }),
       "root record at 0x1000 is outside the dump"},
      {"trace control block outside",
       with(one, [](Fixture& f) { f.put<std::uint64_t>(f.offset(f.shmcb) + kvf::shmcb::kTraceBlock, 0x7000); }),
       "trace control block at 0x7000 is outside the dump"},
      {"ring header across the end",
       with(one, [](Fixture& f) { f.put<std::uint64_t>(f.offset(f.control) + kvf::control::kRing, f.base + f.sizes[0] - 8); }),
       "trace ring at 0x" + hex(one.base + one.sizes[0] - 8) + " (8 records) is outside the dump"},
      {"ring records outside",
       with(one, [](Fixture& f) { f.put<std::uint64_t>(f.offset(f.ring) + kvf::ring::kRecords, f.base + f.sizes[0] - 160); }),
       "trace ring at 0x" + hex(one.ring) + " (8 records) is outside the dump"},
  };

  test::TempDir dir;
  for (const Case& c : cases) {
    std::string file = dir.file("case.dump");
    test::write_file(file, c.bytes);
    test::RunResult r = check({"--check", file});
    bool whole = c.said.find("segment(s)") != std::string::npos;
    EXPECT_EQ(r.status, whole ? 0 : 1) << c.name << ": " << r.err;
    EXPECT_EQ(r.out, whole ? file + ": " + c.said + "\n" : "") << c.name;
    EXPECT_EQ(r.err, whole ? "" : "kavrex-snap: " + file + ": " + c.said + "\n") << c.name;
    // The rule that made it no dump, from the reader itself.
    kvf::DumpMemory memory(c.bytes.data(), c.bytes.size());
    EXPECT_STREQ(kvf::read_dump_layout(memory).why, c.why) << c.name;
  }
}

TEST(SnapCheck, FilesThatCannotBeRead) {
  test::TempDir dir;
  test::RunResult missing = check({"--check", dir.file("missing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "kavrex-snap: " + dir.file("missing") + ": No such file or directory\n");
  test::RunResult directory = check({"--check=" + dir.path()});
  EXPECT_EQ(directory.status, 1);
  EXPECT_EQ(directory.err, "kavrex-snap: " + dir.path() + ": Is a directory\n");
  EXPECT_EQ(missing.out + directory.out, "");
}

}  // namespace
