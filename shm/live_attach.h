// live_attach.h -- attaching to the running server's shared memory at the
// server's own addresses, and detaching again.
//
// The server is found through its information file (shm/server_info.h).
// Every range attached is entered in the image table (shm/image.h), so the
// rest of the tool can check a pointer before following it.
#pragma once

#include <cstdint>

namespace kvf {

// Results of live_attach besides 0 and a C error number.
inline constexpr int kAttachNotFound = 123;     // not identified, no segment, bad mark
inline constexpr int kAttachBadRoot = 156;      // root record missing or below the minimum
inline constexpr int kMaxAttachedSegments = 1024;  // more gives ENOMEM (12)

// Attaches every segment of the server named by VELMORANSERVER: read-write
// when `writable` (the account may administer the server), else read-only.
// Returns 0 (root pointer set, attached flag raised), 123, 156, or the C
// error number of the operation that failed (13 for permission, 12 for more
// than 1024 segments, 22 for an address already in use). An attach while
// something is attached does nothing and returns 0. A failed attach leaves
// nothing attached.
int live_attach(int minimum, bool writable);

// Detaches everything, lowers the attached flag and clears the root pointer.
void live_detach();

// The attached flag: 1 after a successful live_attach, 0 after live_detach.
bool live_attached();

// The `rhead` field of the attached shmcb. Reports an assertion failure and
// returns 0 when nothing is attached.
std::uint64_t mt_shm_get_usercbp();

// Lower layers, for the front end's neighbours and for tests.

// Maps the image whose first segment has `key` at `base`. False on failure,
// with `status` the C error number or 0 (the segment is missing or is not a
// server segment).
bool attach_image(std::uint64_t base, std::int32_t key, bool writable, int& status);

// Detaches every segment in the segment list and empties the image table
// (attachment count, ranges, root pointer). Returns 0, or -1 when a detach
// failed ("shmdt: errno = %d" is reported; the rest of that segment's pieces
// are left and the next segment is detached).
int detach_all();

// Number of entries in the segment list (separately attached segments).
int attached_segment_count();

// Where system messages ("shmat: %s[%d]: %s", "shmdt: errno = %d", ...) and
// the assertion failure of mt_shm_get_usercbp go; standard error by default.
using MessageSink = void (*)(const char* text);
void set_system_message_sink(MessageSink sink);
using AssertionSink = void (*)(const char* condition, const char* function);
void set_assertion_sink(AssertionSink sink);

}  // namespace kvf
