// control_block.cpp -- the trace control block at the end of the image's
// chain (shm/image.h), and the field accesses of the block.
#include "control/control_block.h"

#include "layouts/control_block_layout.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "shm/image.h"

namespace kvf {

unsigned char* control_block() {
  std::uint64_t block = follow_chain(root_pointer()).block;
  return block ? const_cast<unsigned char*>(address(block)) : nullptr;
}

bool usable_control_block() {
  const unsigned char* block = control_block();
  return block && alloc_failed(block) == 0;
}

int cell_level(const unsigned char* block, int component, int feature) {
  return static_cast<int>(load_shared<std::uint32_t>(block, control::cell_offset(component, feature)) &
                          control::kLevelMask);
}

void set_cell_level(unsigned char* block, int component, int feature, int level) {
  std::size_t at = control::cell_offset(component, feature);
  std::uint32_t cell = load_shared<std::uint32_t>(block, at);
  cell = (cell & ~control::kLevelMask) | (static_cast<std::uint32_t>(level) & control::kLevelMask);
  store_shared<std::uint32_t>(block, at, cell);
}

std::uint32_t trace_on(const unsigned char* block) {
  return load_shared<std::uint32_t>(block, control::kTraceOn);
}
void set_trace_on(unsigned char* block, bool on) {
  store_shared<std::uint32_t>(block, control::kTraceOn, on ? 1 : 0);
}
std::uint32_t alloc_failed(const unsigned char* block) {
  return load_shared<std::uint32_t>(block, control::kAllocFailed);
}
std::uint32_t session_filter_on(const unsigned char* block) {
  return load_shared<std::uint32_t>(block, control::kSessionFilterOn);
}
std::int64_t session_id(const unsigned char* block) {
  return load_shared<std::int64_t>(block, control::kSessionId);
}
void set_session_filter(unsigned char* block, std::int64_t id) {
  store_shared<std::int64_t>(block, control::kSessionId, id);
  store_shared<std::uint32_t>(block, control::kSessionFilterOn, 1);
}
void clear_session_filter(unsigned char* block) {
  store_shared<std::uint32_t>(block, control::kSessionFilterOn, 0);
}
std::uint64_t ring_address(const unsigned char* block) {
  return load_shared<std::uint64_t>(block, control::kRing);
}
std::int32_t ring_size(const unsigned char* block) {
  return load_shared<std::int32_t>(block, control::kRingSize);
}
std::int32_t requested_size(const unsigned char* block) {
  return load_shared<std::int32_t>(block, control::kRequestedSize);
}
void set_requested_size(unsigned char* block, std::int32_t size) {
  store_shared<std::int32_t>(block, control::kRequestedSize, size);
}

void empty_ring(unsigned char* block) {
  std::uint64_t ring = ring_address(block);
  if (ring == 0 || !image_contains(ring, ring::kHeaderSize)) return;
  store_shared<std::uint32_t>(const_cast<unsigned char*>(address(ring)), ring::kTail, 0);
  ring = ring_address(block);
  if (ring == 0 || !image_contains(ring, ring::kHeaderSize)) return;
  store_shared<std::uint32_t>(const_cast<unsigned char*>(address(ring)), ring::kHead, 0);
}

}  // namespace kvf
