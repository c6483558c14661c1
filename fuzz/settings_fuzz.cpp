// Fuzz target: the system settings file ($VELMORANDIR/etc/velmoran.rc) as
// arbitrary bytes, read by a fresh thread (the settings table is the
// thread's): every known variable looked up, the locale started from what
// the file says (DBNLS, LANG, CLIENT_LOCALE, DB_LOCALE ...), and a message
// fetched, so that DBLANG and the locale names from the file go through the
// catalogue path search.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "fuzz/fuzz_support.h"
#include "startup/catalogue.h"
#include "startup/locale.h"
#include "startup/settings.h"
#include "tools/vem_writer.h"

namespace {

// Variables the locale start may set in the process environment; each input
// starts without them, so that only its file speaks.
constexpr const char* kCleared[] = {"DBLANG", "CLIENT_LOCALE", "DB_LOCALE", "DBNLS", "LANG", "LC_ALL",
                                    "LC_COLLATE", "LC_CTYPE", "LC_MONETARY", "LC_NUMERIC", "LC_TIME",
                                    "ENVIGNORE", "VLM_FREE_FD"};

std::string installation() {
  const std::string& root = fuzz::scratch_dir();
  namespace fs = std::filesystem;
  fs::create_directories(root + "/etc");
  fs::create_directories(root + "/home");
  std::string bytes, error;
  kvf::vem::build_catalogue({{5, "five\n"}, {32766, "Unknown error message number '%d'\n"}}, false, bytes,
                            error);
  for (const char* dir : {"/msg/en_us/0333", "/msg/de_de/0333", "/msg"}) {
    fs::create_directories(root + dir);
    fuzz::write_file(root + dir + "/syserr.vem", bytes.data(), bytes.size());
  }
  setenv("VELMORANDIR", root.c_str(), 1);
  static std::string home = root + "/home";
  kvf::set_home_lookup([](std::string& h) {
    h = home;
    return true;
  });
  return root + "/etc/velmoran.rc";
}

void read_settings() {
  for (const auto& row : kvf::known_variables) {
    // A value is the rest of one line: it never holds a line end.
    const char* v = kvf::ggetenv(row.name);
    if (v && std::strchr(v, '\n')) __builtin_trap();
  }
  kvf::locale_reset_for_tests();
  if (kvf::ensure_locale_started() == 0) {
    std::string dir;
    if (const char* c = kvf::ggetenv("CLIENT_LOCALE")) kvf::locale_message_dir(c, dir);
  }
  char text[64];
  kvf::rgetmsg(5, text, sizeof text);
  kvf::msgtext(71575);
  fuzz::close_catalogue_file();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = installation();
  for (const char* v : kCleared) unsetenv(v);
  fuzz::write_file(path, data, size);
  std::thread(read_settings).join();
  return 0;
}
