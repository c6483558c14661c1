// server_info.cpp -- the information-file path and the scan for the first
// server record. Reads go through the file layer of platform/sys.h.
#include "shm/server_info.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include <fcntl.h>

#include "layouts/field.h"
#include "layouts/infofile_layout.h"
#include "platform/sys.h"

namespace kvf {
namespace {

const char* environment_lookup(const char* name) {
  const char* value = std::getenv(name);
  if (!value && std::string_view(name) == "VELMORANDIR") return "/usr/velmoran";
  return value;
}

SettingLookup g_lookup = environment_lookup;  // replaced once by start-up

}  // namespace

void set_setting_lookup(SettingLookup lookup) { g_lookup = lookup ? lookup : environment_lookup; }
const char* server_setting(const char* name) { return g_lookup(name); }

int server_file_path(std::string& path, const char* suffix, const char* server) {
  const char* dir = server_setting("VELMORANDIR");
  if (!dir) return -1;
  if (!server) server = server_setting("VELMORANSERVER");
  if (!server) return -1;
  path.assign(dir).append("/etc/").append(suffix).append(server);
  return 0;
}

int open_info_file(bool read_only) {
  std::string path;
  if (server_file_path(path, infofile::kSuffix) != 0) return -1;
  return sys::file_open(path.c_str(), read_only ? O_RDONLY : O_RDWR);
}

std::int32_t find_server(std::uint64_t& base) {
  base = UINT64_MAX;
  int fd = open_info_file(true);
  if (fd < 0) return -1;
  unsigned char rec[infofile::kRecordSize];
  // A short last record is read as zeros past its end; it cannot match
  // unless its type and subtype came in whole.
  for (;;) {
    std::fill(std::begin(rec), std::end(rec), 0);
    if (sys::file_read(fd, rec, sizeof rec) <= 0) break;
    if (load<std::uint16_t>(rec, infofile::kType) == infofile::kServerType &&
        load<std::uint16_t>(rec, infofile::kSubtype) == infofile::kServerSubtype) {
      sys::file_close(fd);
      base = load<std::uint64_t>(rec, infofile::kBase);
      return static_cast<std::int32_t>(load<std::uint32_t>(rec, infofile::kKey));
    }
  }
  sys::file_close(fd);
  return -1;
}

}  // namespace kvf
