// Fuzz target: message expansion and record rendering. The input is a
// record's 80 argument bytes followed by the bytes of a small image
// whose start is the format text; string and dump pointers may point into
// that image (its address is fixed, kImage below) or anywhere else. The
// image is the last 1 KiB of a page between two inaccessible pages, so a
// read past its end that is not checked first faults and is a finding.
// Every double the argument bytes hold, at any offset, must also show in
// each floating conversion as the C library's printf shows it.
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "layouts/ring_layout.h"
#include "shm/image.h"
#include "viewer/expand.h"
#include "viewer/floating.h"
#include "viewer/render.h"

namespace {

constexpr std::uint64_t kPage = 0x300000000000ull;
constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kImageSize = 1024;
constexpr std::uint64_t kImage = kPage + kPageSize - kImageSize;  // make_seeds points here

unsigned char* map_page() {
  // Guard, page, guard: only the middle one is readable.
  void* at = reinterpret_cast<void*>(kPage - kPageSize);
  void* p = mmap(at, 3 * kPageSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p != at) std::abort();
  unsigned char* page = static_cast<unsigned char*>(p) + kPageSize;
  if (mprotect(page, kPageSize, PROT_READ | PROT_WRITE) != 0) std::abort();
  kvf::image_add_range(kImage, kImageSize);
  return page + (kPageSize - kImageSize);
}

// The 8 bytes at each offset of `args` as a double, in every floating
// conversion, against snprintf.
void check_floating(const unsigned char* args, std::size_t size) {
  for (std::size_t at = 0; at + 8 <= size; ++at) {
    double v;
    std::memcpy(&v, args + at, sizeof v);
    for (char letter : {'f', 'e', 'E', 'g', 'G'}) {
      const char pattern[3] = {'%', letter, '\0'};
      char want[kvf::kFloatingMax + 1];
      int n = std::snprintf(want, sizeof want, pattern, v);
      char got[kvf::kFloatingMax];
      std::size_t length = kvf::floating_text(got, letter, v);
      if (n < 0 || length != static_cast<std::size_t>(n) || std::memcmp(got, want, length) != 0) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static unsigned char* image = map_page();
  fuzz::quiet_views();
  fuzz::keep_faults_fatal();
  using kvf::record::kArgsSize;

  // A whole 160-byte record: the argument area from the input, the format
  // at the image.
  alignas(8) unsigned char slot[kvf::record::kSize] = {};
  std::size_t args = size < kArgsSize ? size : kArgsSize;
  std::memcpy(slot + kvf::record::kArgs, data, args);
  check_floating(data, args);
  std::size_t rest = size - args;
  std::size_t body = rest < kImageSize ? rest : kImageSize;
  std::memset(image, 0, kImageSize);
  std::memcpy(image, data + args, body);

  // The text is written in place into a line that is never ended; it must
  // stay within its room and hold no NUL (strings end at theirs). Hex dumps
  // go out as the views show them.
  kvf::Line line = kvf::begin_record_line();
  kvf::kvf_expand_message(line, kImage, slot + kvf::record::kArgs, kvf::kViewDumps);
  std::size_t written = static_cast<std::size_t>(line.at - line.message);
  if (written >= kvf::kMessageSize || std::memchr(line.message, 0, written)) __builtin_trap();

  // The same through the renderer, in the four layouts, with the file name
  // at the image's last byte of input (unterminated at the end of a full
  // image).
  std::uint64_t file = kImage + (body ? body - 1 : 0);
  std::uint64_t format = kImage;
  std::memcpy(slot + kvf::record::kFile, &file, sizeof file);
  std::memcpy(slot + kvf::record::kFormat, &format, sizeof format);
  std::uint32_t component = size > 0 ? data[0] % 24 : 0;
  std::memcpy(slot + kvf::record::kComponent, &component, sizeof component);
  for (int layout = 0; layout < 4; ++layout) kvf::kvf_print_record(slot, layout & 1, layout & 2);
  return 0;
}
