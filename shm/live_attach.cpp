// live_attach.cpp -- maps the server's segments at the addresses the server
// uses: the first by the key from the information file (and its pieces by
// the keys after it), the further ones by the ids their predecessors' headers
// hold (and their pieces by the ids listed in their own headers).
//
// Single-threaded, like the tool. Relies on the segment layer of platform/sys.h,
// which never asks for SHM_REMAP: an address in use fails with EINVAL.
#include "shm/live_attach.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include <sys/shm.h>

#include "layouts/field.h"
#include "layouts/segment_layout.h"
#include "layouts/shmcb_layout.h"
#include "platform/sys.h"
#include "shm/image.h"
#include "shm/server_info.h"

namespace kvf {
namespace {

// One entry of the segment list: the segment's start and every piece
// attached for it, so that detach undoes exactly what attach did.
struct Attached {
  std::uint64_t start;
  std::vector<std::uint64_t> pieces;
};

// Attachment state: set by attach, cleared by detach.
std::vector<Attached> g_segments;   // at most kMaxAttachedSegments
std::uint64_t g_shmcb = 0;          // the attached image's shmcb
bool g_attached = false;            // raised by a successful live_attach

void stderr_message(const char* text) { std::fprintf(stderr, "%s\n", text); }
void stderr_assertion(const char* condition, const char* function) {
  std::fprintf(stderr, "Assertion failed: %s in %s\n", condition, function);
}
MessageSink g_message = stderr_message;
AssertionSink g_assertion = stderr_assertion;

void shmat_failed(int error) {
  char line[64];
  std::snprintf(line, sizeof line, "shmat: %s[%d]: %s", "", error, "operating system error");
  g_message(line);
  g_message("Client could not attach server shared memory segment, use VLM_XFER_SHMBASE.");
}

// Status of a failed segment operation: its error number, except that a
// missing segment (ENOENT) gives 0, which the caller turns into 123.
int failure_status(int error) { return error == ENOENT ? 0 : error; }

// Size of segment `id` as the system knows it; `fallback` when it cannot say.
std::uint64_t segment_bytes(int id, std::uint64_t fallback) {
  shmid_ds ds{};
  if (sys::shm_status(id, ds) == 0) return ds.shm_segsz;
  return fallback;
}

// Attaches `id` at `address` and enters the range; 0 or -1 with errno.
std::uint64_t attach_id(int id, std::uint64_t address, bool writable, std::uint64_t expect) {
  void* at = sys::shm_attach(id, address, writable ? 0 : SHM_RDONLY);
  if (!at) return 0;
  std::uint64_t got = reinterpret_cast<std::uintptr_t>(at);
  image_add_range(got, segment_bytes(id, expect));
  return got;
}

// Opens the segment of `key` and attaches it at `address` (0: anywhere).
// Returns the address, or 0 with errno set.
std::uint64_t attach_key(std::int32_t key, std::uint64_t address, bool writable, std::uint64_t expect) {
  int id = sys::shm_get(static_cast<key_t>(key), 0, writable ? 0660 : 0440);
  if (id < 0) return 0;
  std::uint64_t at = attach_id(id, address, writable, expect);
  if (!at && errno == ENOMEM) {
    int e = errno;
    shmat_failed(e);
    errno = e;
  }
  return at;
}

void detach_pieces(const std::vector<std::uint64_t>& pieces) {
  for (std::uint64_t p : pieces) sys::shm_detach(p);
}

// Undoes a failed attach: every piece it mapped and every range it entered.
// Nothing else can be in the image table, since attach starts only when
// nothing is attached.
void undo(std::vector<std::uint64_t>& pieces) {
  detach_pieces(pieces);
  pieces.clear();
  detach_all();
}

// Attaches a further segment by `id` at `address` and its listed pieces.
// Returns false with errno set.
bool attach_further(std::int32_t id, std::uint64_t address, bool writable, std::vector<std::uint64_t>& pieces) {
  std::uint64_t at = attach_id(id, address, writable, segment::kSize);
  if (!at) {
    int e = errno;
    shmat_failed(e);
    errno = e;
    return false;
  }
  pieces.push_back(at);
  const unsigned char* h = kvf::address(at);
  std::uint64_t p = load<std::uint64_t>(h, segment::kPieceSize);
  std::uint64_t next = at;
  for (std::size_t i = 0; i < segment::kMaxPieceIds; ++i) {
    std::int32_t piece = load<std::int32_t>(h, segment::kPieceIds + 4 * i);
    if (piece < 0) break;
    next += p;
    std::uint64_t got = attach_id(piece, next, writable, p);
    if (!got) {
      int e = errno;
      detach_pieces(pieces);
      pieces.clear();
      shmat_failed(e);
      errno = e;
      return false;
    }
    pieces.push_back(got);
  }
  add_attachment();
  return true;
}

}  // namespace

bool attach_image(std::uint64_t base, std::int32_t key, bool writable, int& status) {
  status = 0;
  if (attachment_count() != 0) return true;

  std::vector<std::uint64_t> pieces;  // of the first segment's span
  std::uint64_t first = attach_key(key, base, writable, segment::kSize);
  if (!first) {
    status = failure_status(errno);
    image_clear();
    return false;
  }
  pieces.push_back(first);

  // The server may have moved since it wrote the information file: its
  // segment header knows where it is now.
  std::uint64_t moved = load<std::uint64_t>(address(first), segment::kBase);
  if (moved != 0 && moved != first) {
    undo(pieces);
    first = attach_key(key, moved, writable, segment::kSize);
    if (!first) {
      status = failure_status(errno);
      image_clear();
      return false;
    }
    pieces.push_back(first);
  }
  if (load<std::uint16_t>(address(first), segment::kMark) != segment::kMarkValue) {
    undo(pieces);
    return false;
  }

  // The span: this segment, and the continuation after it when its id is
  // -99. The continuation's header is read once it is mapped (it usually
  // lies in a later piece), so the span may grow while the pieces go on.
  const unsigned char* head = address(first);
  const std::uint64_t size = load<std::uint64_t>(head, segment::kSegmentSize);
  const bool continued = load<std::uint32_t>(head, segment::kNextId) == segment::kContinuation;
  const std::uint64_t next_address = load<std::uint64_t>(head, segment::kNextAddress);
  std::uint64_t p = load<std::uint64_t>(head, segment::kPieceSize);
  std::uint64_t span = size;
  bool span_known = !continued;
  auto learn_span = [&] {
    if (!span_known && image_contains(next_address, segment::kSize)) {
      span = size + load<std::uint64_t>(address(next_address), segment::kSegmentSize);
      span_known = true;
    }
  };
  learn_span();
  if (p == 0) p = span;
  std::int32_t piece_key = key;
  std::uint64_t at = first;
  for (std::uint64_t offset = p; offset < span || !span_known; offset += p) {
    if (!span_known && offset > size) {  // the pieces skip the continuation's header
      undo(pieces);
      return false;
    }
    at += p;
    std::uint64_t got = attach_key(++piece_key, at, writable, p);
    if (!got) {
      status = failure_status(errno);
      undo(pieces);
      return false;
    }
    pieces.push_back(got);
    learn_span();
  }

  // The shmcb ends at `overhead` of the first segment.
  std::uint64_t cb = first + load<std::uint64_t>(head, segment::kOverhead) - shmcb::kSize;
  if (!image_contains(cb, shmcb::kSize) || load<std::uint16_t>(address(cb), shmcb::kMark) != shmcb::kMarkValue) {
    undo(pieces);
    return false;
  }
  g_shmcb = cb;
  g_segments.push_back({first, std::move(pieces)});
  add_attachment();

  // Further segments, each named by the header of the one before it.
  const int count = load<std::int16_t>(address(cb), shmcb::kSegmentCount);
  std::uint64_t current = first;
  for (int n = 2; n <= count; ++n) {
    if (!image_contains(current, segment::kSize)) {  // a -99 segment that no span covers
      std::vector<std::uint64_t> none;
      undo(none);
      return false;
    }
    std::uint64_t next = load<std::uint64_t>(address(current), segment::kNextAddress);
    std::uint32_t id = load<std::uint32_t>(address(current), segment::kNextId);
    current = next;
    if (next == 0 || id == segment::kContinuation) continue;
    std::vector<std::uint64_t> further;
    if (!attach_further(static_cast<std::int32_t>(id), next, writable, further)) {
      status = failure_status(errno);
      undo(further);
      return false;
    }
    if (g_segments.size() >= static_cast<std::size_t>(kMaxAttachedSegments)) {
      status = ENOMEM;
      undo(further);
      return false;
    }
    g_segments.push_back({next, std::move(further)});
  }
  return true;
}

int detach_all() {
  int result = 0;
  for (const Attached& s : g_segments) {
    for (std::uint64_t p : s.pieces) {
      if (sys::shm_detach(p) != 0) {
        char line[48];
        std::snprintf(line, sizeof line, "shmdt: errno = %d", errno);
        g_message(line);
        result = -1;
        break;
      }
    }
  }
  g_segments.clear();
  g_shmcb = 0;
  image_clear();  // the attachment count and the ranges
  return result;
}

int live_attach(int minimum, bool writable) {
  if (attachment_count() != 0) return 0;  // already attached: nothing new
  std::uint64_t base = 0;
  std::int32_t key = find_server(base);
  if (key == -1) return kAttachNotFound;
  int status = 0;
  if (!attach_image(base, key, writable, status)) return status ? status : kAttachNotFound;
  std::uint64_t root = mt_shm_get_usercbp();
  if (root != 0 && image_contains(root, root::kUsedSize) &&
      load<std::int16_t>(address(root), root::kAttachValue) >= minimum) {
    set_root_pointer(root);
    g_attached = true;
    return 0;
  }
  detach_all();
  return kAttachBadRoot;
}

void live_detach() {
  detach_all();  // also clears the root pointer
  g_attached = false;
}

bool live_attached() { return g_attached; }

std::uint64_t mt_shm_get_usercbp() {
  if (attachment_count() == 0) {
    g_assertion("attached", "mt_shm_get_usercbp");
    return 0;
  }
  if (g_shmcb == 0) return root_pointer();  // loaded from a dump
  return load<std::uint64_t>(address(g_shmcb), shmcb::kRootHead);
}

int attached_segment_count() { return static_cast<int>(g_segments.size()); }

void set_system_message_sink(MessageSink sink) { g_message = sink ? sink : stderr_message; }
void set_assertion_sink(AssertionSink sink) { g_assertion = sink ? sink : stderr_assertion; }

}  // namespace kvf
