// catalogue_state.h -- the per-thread state of the catalogue lookup: the open
// file and its cached index block, the path search's inputs, and the
// buffers of rldmsg. Shared by the catalogue sources of this library.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "layouts/vem_layout.h"

namespace kvf {

// An arena of the thread's own: blocks of 1,016 bytes carved in multiples
// of 8; a request of 500 bytes or more gets a block of its own. Nothing is
// given back, so every copy lives as long as the thread.
class CopyPool {
 public:
  char* allocate(std::size_t bytes);

 private:
  static constexpr std::size_t kBlock = 1016;
  static constexpr std::size_t kOwnBlock = 500;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = kBlock;  // of the last shared block; full at first
  char* current_ = nullptr;
};

struct CatalogueState {
  int fd = -1;
  std::string open_name;  // empty: the open file may not be reused
  int count = 0;          // entries N of the open file
  std::size_t width = 0;  // W, 8 or 10
  unsigned char block[vem::kBlockBytes] = {};
  int block_entries = 0;  // entries of the cached block that are index entries
  int block_count = 0;    // min(8, N)

  bool root_read = false;
  std::string root;         // VELMORANDIR, read once per thread
  char path[260] = {};      // full path of the file last chosen
  bool dblang_read = false; // the DBLANG slot; empty while unset
  std::string dblang;

  std::vector<char> work;   // rldmsg's growing buffer
  CopyPool pool;
};

// The calling thread's state, created on first use; null without memory.
CatalogueState* catalogue_state();

// Path search for bare file name `file`: fills state.path; false when no
// path can be formed. The path may name a file that does not exist.
bool find_catalogue_path(CatalogueState& state, const char* file, const char* locale);

}  // namespace kvf
