// shared_image.h -- a server image in real System V segments: creates the
// segments at the server addresses, lays the image out in them with the
// image builder, writes the information file, and removes it all again.
//
// The first segment and its pieces (and a -99 continuation after it) get the
// consecutive keys key, key + 1, ...; further segments and their pieces are
// private and named by id in the headers before them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/image_builder.h"
#include "sim/reaper.h"

namespace kvf::sim {

struct Layout {
  std::uint64_t base = kDefaultBase;
  int segments = 1;            // separately attached segments, the first included
  int pieces = 1;              // pieces per segment
  bool continuation = false;   // a -99 segment continuing the first one's span
  std::uint64_t further_size = 64 * 1024;  // size of each further segment
  std::int32_t ring_records = 0;  // passed to the image builder
  std::size_t extra_bytes = 256 * 1024;  // room for the caller's allocations
  std::int16_t attach_value = 1;
  std::uint32_t pid = 0;       // 0: this process
  std::int32_t key = 0;        // 0: the first free run of keys
  mode_t mode = 0660;
  bool control_block = true;
  // A helper process removes the segments if this process dies first.
  bool reaper = true;
};

class SharedImage {
 public:
  // Throws std::system_error when a segment cannot be created or placed
  // (whatever was created is removed again), std::invalid_argument for a
  // layout that cannot be built.
  explicit SharedImage(const Layout& layout);
  ~SharedImage();
  SharedImage(const SharedImage&) = delete;
  SharedImage& operator=(const SharedImage&) = delete;

  ImageBuilder& image() { return *image_; }
  std::int32_t key() const { return key_; }
  std::uint64_t base() const { return image_->segments()[0].base; }
  // Every segment id created, first span first.
  const std::vector<int>& ids() const { return ids_; }
  // Where this process has each of them attached (none after unmap).
  std::vector<std::uint64_t> addresses() const;

  // The information file's records: the server record, then one segment
  // record per separately attached segment.
  std::string info_records() const;
  // Writes them to `path` through a temporary file and a rename; mode 0644.
  // The file is removed with the segments should this process die first.
  // Returns false with errno set.
  bool write_info_file(const std::string& path);

  // Detaches this process's mappings; the segments stay for others (tests
  // attach them again in the same process). image() is unusable after it.
  void unmap();
  // Detaches and removes every segment. Returns the number of segments that
  // could not be removed. (Files written by write_info_file are the
  // caller's to remove: see remove_file_if_same.)
  int remove();

 private:
  struct Piece {
    int id;
    std::uint64_t address;
  };
  void create(const Layout& layout, const ImageOptions& options);
  int drop_segments();
  int make_segment(key_t key, std::uint64_t size, mode_t mode);
  bool create_first_span(const std::vector<SegmentInfo>& plan, std::int32_t key, mode_t mode,
                         std::uint64_t piece_size);

  std::unique_ptr<ImageBuilder> image_;
  std::vector<Piece> pieces_;  // every piece, mapped or not
  std::vector<int> ids_;
  std::vector<std::pair<int, SegmentInfo>> separate_;  // id of each attached segment
  std::int32_t key_ = 0;
  bool mapped_ = false;
  Reaper reaper_;
};

// The information-file record of the server, and of one segment.
std::string server_info_record(std::int32_t key, std::uint64_t base);
std::string segment_info_record(std::uint16_t index, std::int32_t id, std::uint64_t base, std::uint64_t size);
// A record of any type and subtype (for files the tool must reject).
std::string info_record(std::uint16_t type, std::uint16_t subtype, std::uint32_t key, std::uint64_t base);

}  // namespace kvf::sim
