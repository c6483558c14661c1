// server.h -- the stand-in server: its shared memory, information file and
// writer threads, and the counters it reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/options.h"
#include "sim/reaper.h"
#include "sim/shared_image.h"
#include "sim/trace_points.h"

namespace kvf::sim {

struct Counters {
  std::uint64_t trace_points = 0;  // events run by the writers
  std::uint64_t records = 0;       // records written into the ring
  std::uint64_t filtered = 0;      // records left out by the session filter
  std::uint64_t replacements = 0;  // rings replaced on a size request
};

class Server {
 public:
  // Creates the segments, lays out the image and writes the information
  // file. Throws std::system_error (or std::invalid_argument) on failure,
  // after removing whatever it created.
  explicit Server(const Options& options);
  ~Server();  // stops the writers and removes everything
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void start();
  void stop();
  // True once --count trace points have run and every writer has ended.
  bool finished() const;

  // The memory as a dump file (segments back to back), written to a
  // temporary name and renamed. Returns false with errno set.
  bool write_dump(const std::string& path);

  Counters counters() const;
  const std::string& info_path() const { return info_path_; }
  std::uint64_t base() const { return image_->base(); }
  std::int32_t key() const { return key_; }
  int segment_count() const { return static_cast<int>(image_->image().segments().size()); }

  // Stops, removes the segments and the information file (when it is still
  // ours). Returns the number of things that could not be removed.
  int shut_down();

 private:
  struct RingArea {
    std::uint64_t header;
    std::uint64_t slots;
  };
  void writer(int index);
  void record(const TracePoint& point, int thread, std::uint64_t n, std::int64_t session);
  void apply_requested_size();
  std::uint32_t next_stamp() const;
  void prepare_slot(std::uint64_t ring_header, std::uint32_t index);

  Options options_;
  std::unique_ptr<SharedImage> image_;
  std::int32_t key_ = 0;
  std::string info_path_;
  FileIdentity info_file_;
  unsigned char* block_ = nullptr;  // the trace control block
  RingArea areas_[2] = {};
  int area_ = 0;                     // the area holding the current ring
  std::vector<TracePoint> points_;
  ArgumentSources sources_;
  std::vector<std::uint64_t> thread_blocks_;  // rstcb of each writer

  std::mutex ring_mutex_;  // one writer at a time fills the ring
  std::uint32_t stamp_ = 0;  // the last stamp given; under ring_mutex_
  std::vector<std::thread> writers_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> claimed_{0};
  std::atomic<int> ended_{0};
  std::atomic<std::uint64_t> trace_points_{0}, records_{0}, filtered_{0}, replacements_{0};
  bool removed_ = false;
};

}  // namespace kvf::sim
