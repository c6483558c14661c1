// file_copy.cpp -- the mapped, chunked, multi-threaded copy from a file into
// memory, with the bus error of a page the file no longer has caught.
//
// The chunks are handed out in file order from one counter, so a thread that
// is slowed down (the machine is shared) takes fewer of them. Each thread
// makes its chunk's target pages present with one call, then copies the
// chunk with memcpy; a page beyond the end of a file that has shrunk since
// it was mapped raises SIGBUS in the copying thread, whose handler jumps back
// to that thread's own recovery point. The thread then records the chunk as
// the lowest that failed and stops; every chunk before it was handed out
// earlier and has been copied, or has failed itself and lowered the mark, so
// that everything below the mark is in place when all threads are done.
//
// memcpy is async-signal-safe, so leaving it from the handler is sound; the
// recovery point is taken with the signal mask saved, which unblocks SIGBUS
// again on the way out.
#include "platform/file_copy.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "platform/raw.h"
#include "platform/sys.h"

namespace kvf::sys {
namespace {

// Large enough that the calls per chunk cost nothing against the copy,
// small enough that two threads share a segment of a few MiB.
constexpr std::size_t kChunk = std::size_t{2} << 20;

// What the copying thread is reading, for the bus-error handler: the
// mapping's address range and where to resume when a page of it fails.
struct Reading {
  sigjmp_buf* resume;
  std::uintptr_t from;
  std::uintptr_t to;
};
constinit thread_local Reading t_reading{nullptr, 0, 0};

// The SIGBUS action that the copy's own replaces while it runs.
struct sigaction g_previous;

extern "C" void on_copy_bus_error(int sig, siginfo_t* info, void* context) {
  const Reading& reading = t_reading;
  auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (reading.resume && at >= reading.from && at < reading.to) siglongjmp(*reading.resume, 1);
  // Not a page of the file: the fault belongs to whoever handled bus errors
  // before the copy.
  if (g_previous.sa_flags & SA_SIGINFO) {
    g_previous.sa_sigaction(sig, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
  } else {
    // The system's action (a bus error cannot be ignored): it ends the
    // process once this handler returns.
    raw::raise_with_default_action(sig);
  }
}

struct Job {
  const unsigned char* source;
  unsigned char* target;
  std::size_t length;
  std::size_t page;
  std::uintptr_t map_from, map_to;
  std::atomic<std::size_t> next{0};             // offset of the next chunk to hand out
  std::atomic<std::size_t> failed{SIZE_MAX};    // lowest chunk whose copy faulted
  std::atomic<std::size_t> written{0};          // end of the furthest chunk handed out
};

void lower(std::atomic<std::size_t>& value, std::size_t to) {
  std::size_t now = value.load();
  while (to < now && !value.compare_exchange_weak(now, to)) {
  }
}

void raise_to(std::atomic<std::size_t>& value, std::size_t to) {
  std::size_t now = value.load();
  while (to > now && !value.compare_exchange_weak(now, to)) {
  }
}

// Copies one chunk; false when a page of the file could not be read.
[[gnu::noinline]] bool copy_chunk(unsigned char* to, const unsigned char* from, std::size_t n) {
  sigjmp_buf resume;
  if (sigsetjmp(resume, 1) != 0) {
    t_reading.resume = nullptr;
    return false;
  }
  // The handler must see the recovery point before the copy begins and
  // until it has ended: without the fences the compiler, which knows that
  // memcpy does not read it, may drop the first store.
  t_reading.resume = &resume;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(to, from, n);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_reading.resume = nullptr;
  return true;
}

void copy_chunks(Job& job) {
  t_reading = {nullptr, job.map_from, job.map_to};
  std::atomic_signal_fence(std::memory_order_seq_cst);
  for (;;) {
    std::size_t at = job.next.fetch_add(kChunk);
    if (at >= job.length || at >= job.failed.load()) break;
    std::size_t n = std::min(kChunk, job.length - at);
    raise_to(job.written, at + n);
    // The target's pages made present in one call rather than one fault
    // each (a hint: the copy faults them in itself when it is declined).
    auto start = reinterpret_cast<std::uintptr_t>(job.target + at);
    std::uintptr_t aligned = start & ~(job.page - 1);
    populate(reinterpret_cast<void*>(aligned), n + (start - aligned));
    if (!copy_chunk(job.target + at, job.source + at, n)) {
      lower(job.failed, at);
      break;
    }
    // The file's pages stay in the page cache; only this mapping of them
    // goes, so that the process's resident size does not grow by the whole
    // file while it is copied.
    auto from = reinterpret_cast<std::uintptr_t>(job.source + at) & ~(job.page - 1);
    auto to = std::min((reinterpret_cast<std::uintptr_t>(job.source + at + n) + job.page - 1) & ~(job.page - 1),
                       job.map_to);
    calls().madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
  }
  t_reading = {nullptr, 0, 0};
}

}  // namespace

int copy_from_file(int fd, off_t offset, void* target, std::size_t length, int workers, FileCopy& out) {
  out = {};
  if (length == 0) return 0;
  long page_size = ::sysconf(_SC_PAGESIZE);
  std::size_t page = page_size > 0 ? static_cast<std::size_t>(page_size) : 4096;
  off_t map_at = offset - static_cast<off_t>(static_cast<std::size_t>(offset) % page);
  std::size_t lead = static_cast<std::size_t>(offset - map_at);
  std::size_t map_length = length + lead;
  void* map = calls().mmap(nullptr, map_length, PROT_READ, MAP_SHARED, fd, map_at);
  if (map == MAP_FAILED) return -1;

  Job job;
  job.source = static_cast<const unsigned char*>(map) + lead;
  job.target = static_cast<unsigned char*>(target);
  job.length = length;
  job.page = page;
  job.map_from = reinterpret_cast<std::uintptr_t>(map);
  job.map_to = job.map_from + map_length;

  struct sigaction catcher {};
  catcher.sa_sigaction = on_copy_bus_error;
  sigemptyset(&catcher.sa_mask);
  catcher.sa_flags = SA_SIGINFO;
  if (retry([&] { return calls().sigaction(SIGBUS, &catcher, &g_previous); }) != 0) {
    // Without the handler a file that shrinks would end the process.
    int e = errno;
    calls().munmap(map, map_length);
    errno = e;
    return -1;
  }

  std::size_t chunks = (length + kChunk - 1) / kChunk;
  std::size_t helpers = workers > 1 ? std::min(static_cast<std::size_t>(workers - 1), chunks - 1) : 0;
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  for (std::size_t i = 0; i < helpers; ++i) {
    try {
      threads.emplace_back(copy_chunks, std::ref(job));
    } catch (const std::system_error&) {
      break;  // fewer threads, same result
    }
  }
  copy_chunks(job);
  for (std::thread& t : threads) t.join();

  retry([&] { return calls().sigaction(SIGBUS, &g_previous, nullptr); });
  calls().munmap(map, map_length);
  out.copied = std::min(job.failed.load(), length);
  out.written = std::max(out.copied, std::min(job.written.load(), length));
  return 0;
}

}  // namespace kvf::sys
