// trace_points.cpp -- the table of the stand-in server's trace points. The
// formats are stored in the image like the server's own, so a reader at the
// same addresses can expand them.
#include "sim/trace_points.h"

#include <cmath>

#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"

namespace kvf::sim {
namespace {

std::uint64_t pick(const ArgumentSources& s, std::uint64_t n) { return s.names[n % s.names.size()]; }

void fill_page_read(Record& r, std::uint64_t n, const ArgumentSources&) {
  r.args.i32(static_cast<std::int32_t>(n % 100000))
      .i32(static_cast<std::int32_t>(n % 7) - 3)
      .i32(0755)
      .i32(static_cast<std::int32_t>(0xBEEF0000u + (n & 0xFFFF)))
      .i32(static_cast<std::int32_t>(n * 2654435761u));
}

void fill_lock(Record& r, std::uint64_t n, const ArgumentSources& s) {
  r.args.i32(n % 2 ? 'X' : 'S').ptr(pick(s, n)).ptr(0x200000001000ull + 16 * (n % 64));
}

void fill_merge(Record& r, std::uint64_t n, const ArgumentSources&) {
  double x = static_cast<double>(n % 1000) + 0.25;
  r.args.i32(static_cast<std::int32_t>(n % 9)).f64(x * 1e-7).f64(-x * 1e12).f64(x / 3).f64(x).f64(1.0 / (x + 1));
}

// A pool grows by 1 to 64 pages to a size of 64 KiB to about 1.8 GiB.
void fill_pool(Record& r, std::uint64_t n, const ArgumentSources& s) {
  auto grew = static_cast<std::int64_t>(4096 * (1 + n % 64));
  auto size = static_cast<std::int64_t>(65536 * (1 + n % 30000));
  r.args.ptr(pick(s, n))
      .i64(grew)
      .u64(static_cast<std::uint64_t>(size))
      .u64(0x0123456789ABCDEFull ^ n)
      .i64(size - grew);
}

void fill_flush(Record& r, std::uint64_t n, const ArgumentSources&) {
  r.args.i32(static_cast<std::int32_t>(1 + n % 200)).i32(static_cast<std::int32_t>(n % 50));
}

void fill_mutex(Record& r, std::uint64_t n, const ArgumentSources& s) {
  r.args.ptr(n % 5 == 0 ? 0 : pick(s, n)).block(s.block, static_cast<std::int32_t>(1 + n % s.block_size));
}

void fill_dorvel(Record& r, std::uint64_t n, const ArgumentSources& s) {
  r.args.ptr(pick(s, n)).ptr(pick(s, n + 1)).i32(static_cast<std::int32_t>(100 + n % 900));
  r.args.i32(static_cast<std::int32_t>(0xD0000000u | (n & 0xFFFFFF)));
  for (int i = 0; i < record::kDorvelValueCount; ++i) r.args.u64(0x200000000000ull + 8 * (n + i));
}

struct Entry {
  std::uint32_t component, feature;
  int level;
  const char* file;
  std::int32_t line;
  const char* format;  // nullptr: no message
  void (*fill)(Record&, std::uint64_t, const ArgumentSources&);
};

// Components and features by their catalogue ids: 2 KVF_BFR_MGR, 3
// KVF_LCK_MGR, 18 KVF_DORVEL, 19 KVF_SORT, 20 KVF_SHMEM, 23 KVF_MUTEX;
// 2 KVF_MEM, 3 KVF_CALL, 9 KVF_EVENT, 15 KVF_INFO, 16 KVF_DEBUG.
// Backslashes in the format texts are the server's escapes, which the
// reader expands (a backslash before a quote shows the quote).
constexpr Entry kPoints[] = {
    {2, 3, 1, "rsam/bfread.c", 412, "bf_read: page %d of chunk %i, flags %o, key \\\"%x/%X\\\"", fill_page_read},
    {3, 2, 2, "rsam/lockmgr.c", 88, "lock %c on %s at %p", fill_lock},
    {19, 15, 3, "sort/srtmerge.c", 1207, "merge pass %d: %e %E %f %g %G 100%% done", fill_merge},
    {20, 2, 1, "shm/mempool.c", 530, "pool %s grew by %ll to %llu bytes, mask %llx, was %l", fill_pool},
    {23, 16, 3, "os/mutex.c", 61, "mutex %s state %r end", fill_mutex},
    {18, 3, 1, "dorvel/dvcall.c", 300, "%s %s %d %x %p %p %p %p %p", fill_dorvel},
    {2, 9, 2, "rsam/bfflush.c", 150, "bf_flush: %d pages written in %d ms", fill_flush},
};

}  // namespace

std::vector<TracePoint> place_trace_points(ImageBuilder& image, ArgumentSources& sources) {
  for (const char* name : {"bufpool", "lockpool", "sortpool", "global", "mt_pool_7", "x"})
    sources.names.push_back(image.string(name));
  unsigned char bytes[40];
  for (int i = 0; i < 40; ++i) bytes[i] = static_cast<unsigned char>(0x70 + 3 * i);
  sources.block = image.bytes(bytes, sizeof bytes);
  sources.block_size = sizeof bytes;

  std::vector<TracePoint> points;
  for (const Entry& e : kPoints)
    points.push_back({e.component, e.feature, e.level, image.string(e.file), e.line,
                      e.format ? image.string(e.format) : 0, e.fill});
  return points;
}

bool trace_point_enabled(const unsigned char* block, const TracePoint& point) {
  if (!block || load_shared<std::uint32_t>(block, control::kTraceOn) == 0) return false;
  std::uint32_t cell = load_shared<std::uint32_t>(
      block, control::cell_offset(static_cast<int>(point.component), static_cast<int>(point.feature)));
  return static_cast<int>(cell & control::kLevelMask) >= point.level;
}

}  // namespace kvf::sim
