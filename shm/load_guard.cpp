// load_guard.cpp -- the dump reader marks each segment for removal right
// after attaching it, so that the end of the process removes it, however the
// process ends. Between shmget and that mark there is a window: a SIGKILL
// there leaves a segment with no attachment and no mark, for ever. This
// helper closes the window, and touches nothing but what the reader made.
//
// It is forked before the first segment of the first load (so it holds no
// mapping of the dump) and holds one end of a socket pair whose other end
// only this process has. The reader tells it, in order, "creating" (key and
// size) before each shmget, "created" (the id, or -1) after it, and
// "marked" once the segment is marked for removal. When the socket ends
// (this process is gone) the helper removes every id it was told was
// created and not marked.
//
// A SIGKILL after shmget returns and before "created" is sent leaves a
// segment whose id the helper never learns. For that case alone it looks
// for the segment: unattached, created by this process's pid, of the key
// and size it was told, and not among the segments that already carried
// this pid when the helper started. Process ids are reused, so a segment
// left by an earlier process with the same pid may be there; the list taken
// at the start keeps the helper off it (the reader waits for that list
// before it creates anything).
//
// After the fork the helper uses only the plain system calls of
// platform/raw.h, since the tool's process may have had other threads
// (tests, the fuzzer), and a test's replacement of an entry in the call
// table, inherited by the fork, must not reach the clean-up. The reader's
// end of the channel uses the same calls.
#include "shm/load_guard.h"

#include <cerrno>
#include <csignal>
#include <initializer_list>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/shm.h>

#include "platform/raw.h"

namespace kvf {
namespace {

enum NoteKind : std::int32_t { kCreating = 1, kCreated = 2, kMarked = 3 };

// One message of the socket (SOCK_SEQPACKET keeps each whole).
struct Note {
  std::int32_t kind;
  std::int32_t id;  // kCreated, kMarked
  std::int32_t key;  // kCreating
  std::int32_t unused;
  std::uint64_t size;  // kCreating
};

// What the helper knows. Only one segment at a time is between "created"
// and "marked"; the room for more is a margin.
constexpr int kPendingRoom = 64;

struct Watch {
  pid_t maker = 0;
  const int* before = nullptr;  // ids that carried the maker's pid at the start
  int before_count = 0;
  bool can_search = false;      // false when that list could not be taken
  int pending[kPendingRoom];    // created, not yet marked
  int pending_count = 0;
  bool overflow = false;        // more pending than room: search without the key and size
  bool creating = false;        // a shmget announced, its result not yet told
  key_t key = 0;
  std::uint64_t size = 0;
};

Watch g_watch;  // the helper's own (a copy in the forked process)

// The highest index in use in the system's segment table (0 when none).
int highest_index() {
  int highest = sys::raw::shm_highest_index();
  return highest < 0 ? 0 : highest;
}

void note_existing(Watch& w) {
  int highest = highest_index();
  std::size_t bytes = static_cast<std::size_t>(highest + 1) * sizeof(int);
  void* room = sys::raw::map_memory(bytes);
  if (room == MAP_FAILED) return;
  int* ids = static_cast<int*>(room);
  int count = 0;
  for (int index = 0; index <= highest; ++index) {
    shmid_ds ds{};
    int id = sys::raw::shm_status_at(index, ds);
    if (id >= 0 && ds.shm_cpid == w.maker) ids[count++] = id;
  }
  w.before = ids;
  w.before_count = count;
  w.can_search = true;
}

bool existed_before(const Watch& w, int id) {
  for (int i = 0; i < w.before_count; ++i)
    if (w.before[i] == id) return true;
  return false;
}

void take(Watch& w, const Note& note) {
  switch (note.kind) {
    case kCreating:
      w.creating = true;
      w.key = note.key;
      w.size = note.size;
      break;
    case kCreated:
      w.creating = false;
      if (note.id < 0) break;
      if (w.pending_count < kPendingRoom) w.pending[w.pending_count++] = note.id;
      else w.overflow = true;
      break;
    case kMarked:
      for (int i = 0; i < w.pending_count; ++i) {
        if (w.pending[i] != note.id) continue;
        w.pending[i] = w.pending[--w.pending_count];
        break;
      }
      break;
  }
}

void clean_up(const Watch& w) {
  for (int i = 0; i < w.pending_count; ++i) {
    shmid_ds ds{};
    if (sys::raw::shm_status(w.pending[i], ds) == 0 && ds.shm_cpid == w.maker) sys::raw::shm_remove(w.pending[i]);
  }
  if (!(w.creating || w.overflow) || !w.can_search) return;
  int highest = highest_index();
  for (int index = 0; index <= highest; ++index) {
    shmid_ds ds{};
    int id = sys::raw::shm_status_at(index, ds);
    if (id < 0 || ds.shm_cpid != w.maker || ds.shm_nattch != 0 || existed_before(w, id)) continue;
    if (w.overflow || (ds.shm_perm.__key == w.key && ds.shm_segsz == w.size)) sys::raw::shm_remove(id);
  }
}

[[noreturn]] void guard(int channel, pid_t maker) {
  // Hold no descriptor of whoever started the tool (they may wait for the
  // end of its output), and outlive a terminal's signals to the tool's
  // process group: the clean-up must still run after them.
  int null = sys::raw::open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) sys::raw::dup_to(null, fd);
  for (int fd = 3; fd < 1024; ++fd)
    if (fd != channel) sys::raw::close(fd);
  for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sys::raw::ignore_signal(sig);

  Watch& w = g_watch;
  w.maker = maker;
  note_existing(w);
  char ready = 1;
  sys::raw::send(channel, &ready, 1);
  for (;;) {
    Note note;
    ssize_t r = sys::raw::receive(channel, &note, sizeof note);
    if (r <= 0) break;
    if (r == static_cast<ssize_t>(sizeof note)) take(w, note);
  }
  clean_up(w);
  sys::raw::exit_now(0);
}

// This process's end of the socket, -1 when no helper watches. A child
// forked from a process with a helper inherits the descriptor but is not
// the process watched: it starts its own.
int g_socket = -1;
pid_t g_owner = 0;

void tell(const Note& note) {
  if (g_socket < 0 || g_owner != sys::raw::process_id()) return;
  int saved = errno;  // the reader reports the errno of the call before
  ssize_t r = sys::raw::send(g_socket, &note, sizeof note);
  if (r != static_cast<ssize_t>(sizeof note)) {
    // The helper is gone: the load goes on without one.
    sys::raw::close(g_socket);
    g_socket = -1;
  }
  errno = saved;
}

}  // namespace

bool start_load_guard() {
  if (g_socket >= 0 && g_owner == sys::raw::process_id()) return true;
  if (g_socket >= 0) {
    sys::raw::close(g_socket);
    g_socket = -1;
  }
  int fds[2];
  if (sys::raw::socket_pair(fds) != 0) return false;
  pid_t maker = sys::raw::process_id();
  pid_t pid = sys::raw::fork();
  if (pid < 0) {
    sys::raw::close(fds[0]);
    sys::raw::close(fds[1]);
    return false;
  }
  if (pid == 0) {
    sys::raw::close(fds[0]);
    guard(fds[1], maker);
  }
  sys::raw::close(fds[1]);
  // Nothing may be created before the helper has listed what already
  // carries this pid.
  char ready = 0;
  if (sys::raw::receive(fds[0], &ready, 1) != 1) {
    sys::raw::close(fds[0]);
    return false;
  }
  // Our end stays open until this process ends.
  g_socket = fds[0];
  g_owner = maker;
  return true;
}

void guard_creating(key_t key, std::uint64_t size) { tell({kCreating, -1, key, 0, size}); }
void guard_created(int id) { tell({kCreated, id, 0, 0, 0}); }
void guard_marked(int id) { tell({kMarked, id, 0, 0, 0}); }

}  // namespace kvf
