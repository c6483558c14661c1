// walk_threads.cpp -- the one-pass walk of a dump on several threads.
//
// Nothing writes a dump's ring while it is shown, so the walk's order is
// fixed before any record is rendered: the reader's steps depend on head,
// tail and the size alone (no slot is rewritten, so the stamp test never
// fires), and a record that faults or cannot be read is stepped past just
// as one that printed. Only the incomplete record (`file` 0) that ends a
// walk needs the record itself; the thread that renders it finds it.
//
// The calling thread makes the order in parts of up to kPartEntries steps
// (index, and the jump of the reader after it), hands each part to the next
// free worker, and writes the parts' output in order. A worker renders its
// part into its own capture (out::Capture), with its own recovery point for
// faults; a part whose output outgrows its capture waits until it is the
// next to be written and has its bytes written then, so that memory stays
// bounded whatever one record prints. Parts in flight are at most two per
// worker. When a part ends the walk at an incomplete record, the parts
// after it are dropped, and the reader state is set back to where the walk
// stopped.
//
// Only the calling thread writes standard output, so a write that fails
// ends the program there as it does in walk_once. On one thread the same
// order is rendered part by part on the calling thread, straight to
// standard output: the steps stay arithmetic on values read once.
#include "viewer/walk_threads.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csetjmp>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "control/control_block.h"
#include "layouts/field.h"
#include "layouts/ring_layout.h"
#include "shm/image.h"
#include "viewer/fault.h"
#include "viewer/image_text.h"
#include "viewer/output.h"
#include "viewer/reader.h"
#include "viewer/walk.h"

namespace kvf {
namespace {

// Steps per part: enough that handing parts over costs little against
// rendering them, few enough that every worker has parts on a small ring.
constexpr std::size_t kPartEntries = 1024;
// Bytes a part gathers before it waits to be written. With two parts per
// worker and at most sys::kMaxThreads workers the captures, entries and
// fault stacks stay under 20 MiB.
constexpr std::size_t kPartRoom = 256 * 1024;
constexpr std::size_t kFaultStack = 64 * 1024;

// The reader's jump after a step, as reported by next_index_unchanging.
enum class Jump : std::uint8_t { none, ahead, max };

struct Entry {
  std::int32_t index;
  std::int32_t to;  // the jump's target
  Jump jump;
};

// The walk's order, made a part at a time with the stops of walk_once
// that need no record: the head, a head outside the ring, a slot outside
// the image, the maximum skip. Head, tail, size and the records array are
// read once: nothing changes them while the walk runs.
class Order {
 public:
  explicit Order(const unsigned char* ring)
      : ring_(read_unchanging(ring)),
        records_(load_shared<std::uint64_t>(ring, ring::kRecords)),
        all_in_image_(ring_.size >= 1 && records_ != 0 &&
                      image_holds(records_, static_cast<std::uint64_t>(ring_.size) * record::kSize)),
        window_(guard_window(ring_.size)),
        calm_(ring_.tail < ring_.head && static_cast<std::int64_t>(ring_.size) - ring_.head > window_),
        steps_plainly_(!(ring_.head == 0 && ring_.tail == 0) && ring_.size >= 1) {
    next_ = next_index_unchanging(-1, ring_, sink());
  }

  // Up to `max` more steps into `out`; fewer, or none, once the order ends.
  void fill(std::vector<Entry>& out, std::size_t max) {
    out.clear();
    const bool head_in_ring = ring_.head >= 0 && ring_.head < ring_.size;
    while (!ended_ && out.size() < max) {
      if (next_.max_skip || next_.index == ring_.head || !head_in_ring || !slot_in_image(next_.index)) {
        ended_ = true;
        break;
      }
      if (std::int32_t run = plain_run(next_.index, max - out.size()); run > 0) {
        for (std::int32_t k = 0; k < run; ++k) out.push_back({next_.index + k, 0, Jump::none});
        next_ = {next_.index + run, false};
        continue;
      }
      Entry e{next_.index, 0, Jump::none};
      std::int32_t following;
      if (plain_step(e.index, &following)) {
        next_ = {following, false};
      } else {
        at_ = &e;
        next_ = next_index_unchanging(e.index, ring_, sink());
        at_ = nullptr;
      }
      out.push_back(e);
    }
  }
  bool ended() const { return ended_; }
  // Where the order ended: the index its last step chose.
  std::int32_t end() const { return next_.index; }

 private:
  // What ring_slot answers for `index`, from the values read once.
  bool slot_in_image(std::int32_t index) const {
    if (index < 0 || index >= ring_.size) return false;
    return all_in_image_ ||
           (records_ != 0 && image_holds(records_ + static_cast<std::uint64_t>(index) * record::kSize, record::kSize));
  }

  // The step of next_index_unchanging from `current` (a slot of the ring)
  // when it is the plain one to the following slot, which is most steps:
  // the ring is calm, or the following slot lies at least a guard window
  // past tail. False for every other step (a jump ahead, the maximum skip,
  // an empty ring), which the reader makes.
  bool plain_step(std::int32_t current, std::int32_t* following) const {
    if (!steps_plainly_) return false;
    std::int64_t next = current == ring_.size - 1 ? 0 : static_cast<std::int64_t>(current) + 1;
    if (!calm_) {
      std::int64_t lead = next - ring_.tail;
      if (lead < 0) lead += ring_.size;
      if (lead < window_) return false;
    }
    *following = static_cast<std::int32_t>(next);
    return true;
  }

  // How many slots from `first` on (a slot of the ring other than the
  // head, lying in the image) plain_step would step past one at a time, each
  // to the slot above it: up to the head, short of the ring's last slot
  // (whose step goes round to 0) and of a step into the guard window after
  // tail. At most `most`; 0 when plain_step answers for none of them.
  std::int32_t plain_run(std::int32_t first, std::size_t most) const {
    if (!steps_plainly_ || !all_in_image_) return 0;
    std::int64_t last = ring_.size - 2;
    if (ring_.head > first) last = std::min<std::int64_t>(last, ring_.head - 1);
    if (!calm_ && window_ > 0) {
      if (ring_.tail < 0 || ring_.tail >= ring_.size) return 0;  // the steps one at a time, as the reader makes them
      // The first slot above `first` whose lead on tail is under the
      // window: the step into it is not plain.
      std::int64_t up = static_cast<std::int64_t>(first) + 1, bad = INT64_MAX;
      if (up < ring_.tail + window_ - ring_.size) bad = up;  // the window's part past the ring's end
      else if (up <= ring_.tail) bad = ring_.tail;
      else if (up < ring_.tail + window_) bad = up;
      if (bad != INT64_MAX) last = std::min(last, bad - 2);
    }
    std::int64_t run = last - first + 1;
    if (run <= 0) return 0;
    return static_cast<std::int32_t>(std::min<std::int64_t>(run, static_cast<std::int64_t>(most)));
  }

  // The reader reports only its jumps; the rest is never called.
  WalkSink sink() { return {this, record, ahead, max, nothing, replaced, gone, flush}; }
  static bool record(void*, const unsigned char*, std::int32_t) { return true; }
  static void ahead(void* self, std::int32_t, std::int32_t to) { static_cast<Order*>(self)->jump(Jump::ahead, to); }
  static void max(void* self, std::int32_t, std::int32_t to) { static_cast<Order*>(self)->jump(Jump::max, to); }
  static void nothing(void*, std::int32_t) {}
  static void replaced(void*, std::uint64_t, std::int32_t) {}
  static void gone(void*, std::int32_t) {}
  static void flush(void*) {}
  void jump(Jump j, std::int32_t to) {
    if (at_) {
      at_->jump = j;
      at_->to = to;
    }
  }

  const UnchangingRing ring_;
  const std::uint64_t records_;
  // The whole records array lies in the image (as it does for any ring a
  // view walks), so that every slot of the ring does.
  const bool all_in_image_;
  const std::int64_t window_;
  const bool calm_;
  // Neither of the reader's first answers (both indexes 0, a ring without
  // slots) applies, so that plain_step may answer for it.
  const bool steps_plainly_;
  NextIndex next_;
  Entry* at_ = nullptr;
  bool ended_ = false;
};

enum class State { free, ready, rendering, done };

constexpr std::size_t kNoStop = ~std::size_t{0};

struct Part {
  std::uint64_t number = 0;      // its place in the walk, from 0
  std::vector<Entry> entries;
  std::int32_t skip_before = 0;  // skip_distance before its first step
  State state = State::free;
  bool full = false;             // its capture waits to be written
  std::size_t stop = kNoStop;    // the entry of the incomplete record
  volatile std::size_t at = 0;   // the entry in hand, kept across a fault
  std::unique_ptr<char[]> buffer;
  out::Capture capture{};
};

// The jump of the reader after an entry, as walk_once reports it.
void report_jump(const WalkSink& sink, const Entry& e) {
  if (e.jump == Jump::ahead) sink.skip_ahead(sink.context, e.index, e.to);
  else if (e.jump == Jump::max) sink.max_skip(sink.context, e.index, e.to);
}

// Hands on the records of a part as walk_once does, into `capture` (or to
// standard output when it is nullptr). A fault jumps back here; the entry
// in hand is then reported skipped and the walk goes on after it. Parts
// after `stop_part` are not rendered; a part that meets an incomplete
// record lowers it to its own number.
void render_part(const WalkSink& sink, const unsigned char* records, Part& p, std::atomic<std::uint64_t>& stop_part,
                 out::Capture* capture) {
  out::capture(capture);
  sigjmp_buf recovery;
  if (sigsetjmp(recovery, 1) != 0) {
    const Entry& e = p.entries[p.at];
    sink.skipped(sink.context, e.index);
    report_jump(sink, e);
    p.at = p.at + 1;
  }
  set_recovery_point(&recovery);
  for (;;) {
    std::size_t i = p.at;
    if (i >= p.entries.size() || p.number > stop_part.load(std::memory_order_relaxed)) break;
    const Entry& e = p.entries[i];
    const unsigned char* slot = records + static_cast<std::size_t>(e.index) * record::kSize;
    if (load_shared<std::uint64_t>(slot, record::kFile) == 0) {
      p.stop = i;
      // Nothing after this record is shown: parts further on stop early.
      std::uint64_t first = stop_part.load(std::memory_order_relaxed);
      while (p.number < first && !stop_part.compare_exchange_weak(first, p.number, std::memory_order_relaxed)) {
      }
      break;
    }
    if (!sink.record(sink.context, slot, e.index)) sink.skipped(sink.context, e.index);
    report_jump(sink, e);
    p.at = i + 1;
  }
  set_recovery_point(nullptr);
  out::capture(nullptr);
}

// The walk ended at the incomplete record of entry p.stop: the reader
// state is what the steps before it left, not what the order made past it.
void stopped_at(const unsigned char* ring, const Part& p) {
  std::int32_t distance = p.skip_before;
  for (std::size_t i = 0; i < p.stop; ++i)
    if (p.entries[i].jump == Jump::ahead) distance *= 2;
  reader_state().skip_distance = distance;
  note_chosen(ring, p.entries[p.stop].index);
}

// The walk on the calling thread alone: the order made a part at a time
// and each part rendered straight to standard output.
void walk_here(const WalkSink& sink, const unsigned char* ring) {
  const unsigned char* records = address(load_shared<std::uint64_t>(ring, ring::kRecords));
  Order order(ring);
  Part p;
  p.entries.reserve(kPartEntries);
  std::atomic<std::uint64_t> no_stop{~std::uint64_t{0}};
  for (;;) {
    p.skip_before = reader_state().skip_distance;
    order.fill(p.entries, kPartEntries);
    if (p.entries.empty()) break;
    p.at = 0;
    render_part(sink, records, p, no_stop, nullptr);
    if (p.stop != kNoStop) {
      stopped_at(ring, p);
      return;
    }
  }
  note_chosen(ring, order.end());
}

class Walk {
 public:
  Walk(const WalkSink& sink, const unsigned char* ring, int threads)
      : sink_(sink),
        ring_(ring),
        records_(address(load_shared<std::uint64_t>(ring, ring::kRecords))),
        parts_(2 * static_cast<std::size_t>(threads)),
        order_(ring) {
    for (Part& p : parts_) {
      p.entries.reserve(kPartEntries);
      p.buffer = std::make_unique<char[]>(kPartRoom + out::kLineMax);
      p.capture = {p.buffer.get(), kPartRoom, 0, part_full, this};
    }
    stacks_ = std::make_unique<unsigned char[]>(kFaultStack * static_cast<std::size_t>(threads));
    workers_.reserve(static_cast<std::size_t>(threads));
    for (int i = 0; i < threads; ++i) {
      try {
        workers_.emplace_back([this, i] { work(stacks_.get() + kFaultStack * static_cast<std::size_t>(i)); });
      } catch (const std::system_error&) {
        break;  // fewer threads than asked for: the walk goes on with these
      }
    }
  }

  ~Walk() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    to_workers_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  bool started() const { return !workers_.empty(); }

  // Makes the order, has it rendered, and writes it out.
  void run() {
    std::uint64_t produced = 0, written = 0;
    for (;;) {
      while (!order_.ended() && produced - written < parts_.size()) {
        Part& p = part(produced);
        p.skip_before = reader_state().skip_distance;
        order_.fill(p.entries, kPartEntries);
        if (p.entries.empty()) break;
        p.number = produced;
        p.stop = kNoStop;
        p.at = 0;
        p.capture.used = 0;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          p.state = State::ready;
          produced_ = ++produced;
        }
        to_workers_.notify_all();
      }
      if (written == produced) {
        note_chosen(ring_, order_.end());
        return;
      }
      Part& p = part(written);
      std::unique_lock<std::mutex> lock(mutex_);
      to_main_.wait(lock, [&p] { return p.state == State::done || p.full; });
      bool done = p.state == State::done;
      lock.unlock();
      out::write(p.capture.buffer, p.capture.used);
      lock.lock();
      p.capture.used = 0;
      if (!done) {
        p.full = false;
        lock.unlock();
        to_workers_.notify_all();
        continue;
      }
      p.state = State::free;
      lock.unlock();
      ++written;
      if (p.stop != kNoStop) {
        stopped_at(ring_, p);
        return;
      }
    }
  }

 private:
  Part& part(std::uint64_t number) { return parts_[number % parts_.size()]; }

  void work(unsigned char* fault_stack) {
    ThreadFaultStack stack(fault_stack, kFaultStack);
    std::uint64_t taken;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        to_workers_.wait(lock, [this] { return quit_ || taken_ < produced_; });
        if (quit_) return;
        taken = taken_++;
        part(taken).state = State::rendering;
      }
      Part& p = part(taken);
      render_part(sink_, records_, p, stop_part_, &p.capture);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        p.state = State::done;
      }
      to_main_.notify_one();
    }
  }

  // A capture filled up: its bytes wait until the calling thread, once
  // every part before this one is written, writes them.
  static void part_full(out::Capture& capture) {
    Walk& walk = *static_cast<Walk*>(capture.context);
    Part* p = nullptr;
    for (Part& q : walk.parts_)
      if (&q.capture == &capture) p = &q;
    std::unique_lock<std::mutex> lock(walk.mutex_);
    p->full = true;
    walk.to_main_.notify_one();
    walk.to_workers_.wait(lock, [&] { return !p->full || walk.quit_; });
    // A walk that ends meanwhile wants these bytes no more.
    capture.used = 0;
  }

  const WalkSink& sink_;
  const unsigned char* ring_;
  const unsigned char* records_;
  std::vector<Part> parts_;
  Order order_;
  std::unique_ptr<unsigned char[]> stacks_;
  std::vector<std::thread> workers_;

  std::mutex mutex_;
  std::condition_variable to_workers_, to_main_;
  std::uint64_t produced_ = 0, taken_ = 0;
  bool quit_ = false;
  // The first part known to end the walk; those after it need not render.
  std::atomic<std::uint64_t> stop_part_{~std::uint64_t{0}};
};

}  // namespace

void walk_once_on_threads(const WalkSink& sink, int threads) {
  const unsigned char* block = control_block();
  std::uint64_t ring_at = ring_address(block);
  if (!ring_readable(ring_at)) return;
  const unsigned char* ring = address(ring_at);
  UnchangingRing fixed = read_unchanging(ring);
  if (fixed.head == fixed.tail) return;
  install_fault_handlers();
  if (threads <= 1) {
    walk_here(sink, ring);
    return;
  }
  try {
    Walk walk(sink, ring, threads);
    if (walk.started()) {
      walk.run();
      return;
    }
  } catch (const std::bad_alloc&) {
    // Thrown only while the walk is set up, before any record is shown.
  }
  // No memory for the parts, or no thread could be started: the walk runs
  // here instead (making the start of the order changed nothing).
  walk_once(sink);
}

}  // namespace kvf
