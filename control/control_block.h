// control_block.h -- access to the trace control block in the image.
//
// Nothing is copied: every read goes to the image when it is needed and every
// write goes straight into it, as single aligned stores in the order the
// server relies on (session id before the filter flag, ring tail before head).
#pragma once

#include <cstdint>

namespace kvf {

// The block's address, reached from the root pointer through the root record
// and the shmcb; nullptr when the chain ends in a null pointer or leaves the
// mapped image (a damaged dump is never followed outside it).
unsigned char* control_block();

// Whether the block exists and the server's trace memory was set up.
bool usable_control_block();

int cell_level(const unsigned char* block, int component, int feature);
void set_cell_level(unsigned char* block, int component, int feature, int level);

std::uint32_t trace_on(const unsigned char* block);
void set_trace_on(unsigned char* block, bool on);
std::uint32_t alloc_failed(const unsigned char* block);
std::uint32_t session_filter_on(const unsigned char* block);
std::int64_t session_id(const unsigned char* block);
// Stores the id, then raises the filter flag.
void set_session_filter(unsigned char* block, std::int64_t id);
// Lowers the flag; the id stays as it was.
void clear_session_filter(unsigned char* block);
std::uint64_t ring_address(const unsigned char* block);
std::int32_t ring_size(const unsigned char* block);
std::int32_t requested_size(const unsigned char* block);
void set_requested_size(unsigned char* block, std::int32_t size);

// Empties the ring: tail = 0, then head = 0 through the ring pointer read
// again. Writes nothing when there is no ring (or it lies outside the image).
void empty_ring(unsigned char* block);

}  // namespace kvf
