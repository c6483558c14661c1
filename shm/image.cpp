// image.cpp -- root pointer, attachment count, the merged table of mapped
// address ranges, and the chain from the root record to the trace control
// block. Single-threaded, like the tool.
#include "shm/image.h"

#include <algorithm>
#include <vector>

#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/shmcb_layout.h"

namespace kvf {
namespace {

struct Range {
  std::uint64_t begin, end;  // [begin, end)
};

std::uint64_t g_root = 0;
int g_attachments = 0;
unsigned g_generation = 0;
std::vector<Range> g_ranges;  // sorted, disjoint, non-adjacent

const Range* find(std::uint64_t address) {
  auto it = std::upper_bound(g_ranges.begin(), g_ranges.end(), address,
                             [](std::uint64_t a, const Range& r) { return a < r.begin; });
  if (it == g_ranges.begin()) return nullptr;
  --it;
  return address < it->end ? &*it : nullptr;
}

}  // namespace

std::uint64_t root_pointer() { return g_root; }
void set_root_pointer(std::uint64_t address) { g_root = address; }

int attachment_count() { return g_attachments; }
void add_attachment() { ++g_attachments; }

void image_add_range(std::uint64_t base, std::uint64_t size) {
  if (size == 0) return;
  std::uint64_t end = base + size < base ? UINT64_MAX : base + size;
  Range r{base, end};
  std::vector<Range> merged;
  merged.reserve(g_ranges.size() + 1);
  bool placed = false;
  for (const Range& x : g_ranges) {
    if (x.end < r.begin) {
      merged.push_back(x);
    } else if (r.end < x.begin) {
      if (!placed) merged.push_back(r), placed = true;
      merged.push_back(x);
    } else {
      r.begin = std::min(r.begin, x.begin);
      r.end = std::max(r.end, x.end);
    }
  }
  if (!placed) merged.push_back(r);
  g_ranges = std::move(merged);
  ++g_generation;
}

void image_clear() {
  g_ranges.clear();
  g_root = 0;
  g_attachments = 0;
  ++g_generation;
}

bool image_contains(std::uint64_t address, std::uint64_t length) {
  const Range* r = find(address);
  return r && length <= r->end - address;
}

std::uint64_t image_span(std::uint64_t address) {
  const Range* r = find(address);
  return r ? r->end - address : 0;
}

unsigned image_generation() { return g_generation; }

Chain follow_chain(std::uint64_t root) {
  Chain c;
  if (!image_contains(root, root::kUsedSize)) {
    c.outside = ChainLink::root_record;
    c.at = root;
    return c;
  }
  std::uint64_t shmcb = load<std::uint64_t>(address(root), root::kShmcb);
  if (!image_contains(shmcb, shmcb::kSize)) {
    c.outside = ChainLink::shmcb;
    c.at = shmcb;
    return c;
  }
  std::uint64_t block = load<std::uint64_t>(address(shmcb), shmcb::kTraceBlock);
  if (block != 0 && !image_contains(block, control::kUsedSize)) {
    c.outside = ChainLink::trace_block;
    c.at = block;
    return c;
  }
  c.block = block;
  return c;
}

}  // namespace kvf
