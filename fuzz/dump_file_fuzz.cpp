// Fuzz target: arbitrary bytes as a dump file, loaded end to end (placement,
// control-block checks, info), then released again.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "kavrex/commands.h"
#include "kavrex/control_block.h"
#include "shm/dump_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  int fd = memfd_create("dump", MFD_CLOEXEC);
  if (fd < 0) return 0;
  for (std::size_t done = 0; done < size;) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (kvf::rinfile(path.c_str(), 0) == 0) {
    if (unsigned char* block = kvf::control_block(); block && kvf::alloc_failed(block) == 0)
      kvf::show_info(block, sink);
    kvf::release_dump();
  }
  close(fd);
  return 0;
}
