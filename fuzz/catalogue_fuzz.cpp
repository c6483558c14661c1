// Fuzz target: a message catalogue (.vem) as the installation's English
// syserr.vem, read by the lookups the tool makes: numbers from its own
// index and around it, the fallback texts (which come from this file too),
// cut buffers, rldmsg, the text fix-up and the format fill; and the whole-file decoder of
// kavrex-msgc. Each input runs on a fresh thread, as the lookup's state is
// the thread's.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "layouts/vem_layout.h"
#include "startup/catalogue.h"
#include "startup/catalogue_format.h"
#include "tools/vem_writer.h"

namespace {

std::string catalogue_path() {
  const std::string& root = fuzz::scratch_dir();
  std::filesystem::create_directories(root + "/msg/en_us/0333");
  setenv("VELMORANDIR", root.c_str(), 1);
  for (const char* v : {"DBLANG", "CLIENT_LOCALE", "DB_LOCALE", "DBNLS", "LANG", "LC_ALL", "VLM_FREE_FD"})
    unsetenv(v);
  return root + "/msg/en_us/0333/syserr.vem";
}

void lookups(const std::uint8_t* data, std::size_t size) {
  std::vector<std::int32_t> numbers{5, 1, 199, 32765, 32766, 2000000000, -7, 71575};
  // The first index entries' numbers, read as both widths.
  for (std::size_t at = 4; at + 10 <= size && numbers.size() < 16; at += 10) {
    numbers.push_back(kvf::vem::decode_entry(data + at, kvf::vem::kNarrowSize).number);
    numbers.push_back(kvf::vem::decode_entry(data + at, kvf::vem::kWideSize).number);
  }
  // Buffer sizes from 1 to 255 and the tool's own 512.
  std::int16_t cut = size > 0 ? static_cast<std::int16_t>(data[size - 1] | 1) : 1;
  for (std::int32_t n : numbers) {
    for (std::int16_t room : {cut, std::int16_t{512}}) {
      std::vector<char> buffer(static_cast<std::size_t>(room) + 16, '#');
      std::int32_t length = 0;
      // A text found, whole or cut, ends inside the room given.
      std::int32_t rc = kvf::rgetlmsg(n, buffer.data(), room, &length);
      if ((rc == kvf::kMsgOk || rc == kvf::kMsgCut) &&
          std::memchr(buffer.data(), '\0', static_cast<std::size_t>(room)) == nullptr)
        __builtin_trap();
    }
    if (const char* text = kvf::rldmsg(n, nullptr)) {
      std::string copy = text;
      std::int32_t error = 0;
      const char* fixed = kvf::rldmsg_fmtspeckvf(copy.data(), &error);
      // Printed as the front end prints message 71575: a format with no
      // argument, in which only "%%" is filled, so it never grows.
      if (kvf::format_catalogue_text(fixed, {}).size() > std::strlen(fixed)) __builtin_trap();
    }
    kvf::msgtext(n);
  }
  fuzz::close_catalogue_file();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = catalogue_path();
  fuzz::write_file(path, data, size);
  std::thread(lookups, data, size).join();

  std::vector<kvf::vem::Message> messages;
  std::string error;
  kvf::vem::read_catalogue(std::string(reinterpret_cast<const char*>(data), size), messages, error);
  return 0;
}
