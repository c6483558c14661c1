// registry.cpp -- keys as directories, values as files with a type line,
// atomic value writes by rename; see registry.h for the file format.
#include "startup/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include "platform/files.h"
#include "startup/host.h"

namespace kvf::reg {
namespace {

int from_errno(int e, int fallback) {
  switch (e) {
    case ENOENT: case ENOTDIR: return kFileNotFound;
    case EACCES: case EPERM: case EROFS: return kAccessDenied;
    case ENOMEM: return kOutOfMemory;
    case ENOTEMPTY: return kDirNotEmpty;
    case EEXIST: return kAlreadyExists;
    case EISDIR: return kInvalidParameter;
    default: return fallback;
  }
}

std::string encode(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c == '/') out += "%2F";
    else if (c == '%') out += "%25";
    else if (c == '.' && i == 0) out += "%2E";
    else out += c;
  }
  return out;
}

std::string decode(const std::string& file) {
  std::string out;
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '%' && i + 2 < file.size()) {
      std::string hex = file.substr(i + 1, 2);
      if (hex == "2F") { out += '/'; i += 2; continue; }
      if (hex == "25") { out += '%'; i += 2; continue; }
      if (hex == "2E") { out += '.'; i += 2; continue; }
    }
    out += file[i];
  }
  return out;
}

std::string value_path(const Hive& hive, const std::string& key, const std::string& name) {
  std::string dir = key_dir(hive, key);
  if (dir.empty() || name.empty()) return "";
  return dir + "/" + encode(name);
}

int read_all(const std::string& path, std::string& out) {
  int e = sys::read_file(path.c_str(), out);
  return e == 0 ? 0 : from_errno(e, kCantRead);
}

}  // namespace

std::string registry_dir() {
  const char* dir = std::getenv("VELMORANDIR");
  return std::string(dir ? dir : "/usr/velmoran") + "/etc/registry";
}

Hive local_hive() { return Hive{registry_dir() + "/HKLM"}; }

int connect_hive(const std::string& machine, Hive& out) {
  std::size_t skip = 0;
  while (skip < machine.size() && skip < 2 && machine[skip] == '\\') ++skip;
  if (!same_name(machine.substr(skip), computer_name())) return kBadNetpath;
  out = local_hive();
  return 0;
}

std::string server_key(const std::string& server, const std::vector<std::string>& parts) {
  std::string key = "SOFTWARE\\Velmoran\\Corvane\\" + server;
  for (const auto& p : parts) key += "\\" + p;
  return key;
}

std::string key_dir(const Hive& hive, const std::string& key) {
  std::string dir = hive.root;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = key.find('\\', start);
    std::string part = key.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty() || part == "." || part == "..") return "";
    dir += '/';
    dir += encode(part);
    if (end == std::string::npos) return dir;
    start = end + 1;
  }
}

int open_key(const Hive& hive, const std::string& key) {
  std::string dir = key_dir(hive, key);
  if (dir.empty()) return kInvalidParameter;
  struct stat st;
  if (sys::status(dir.c_str(), st) != 0) return from_errno(errno, kCantRead);
  return S_ISDIR(st.st_mode) ? 0 : kFileNotFound;
}

int create_key(const Hive& hive, const std::string& key, bool* created, unsigned mode) {
  if (created) *created = false;
  std::string dir = key_dir(hive, key);
  if (dir.empty()) return kInvalidParameter;
  // Make each missing directory from the registry root down.
  std::size_t pos = 1;
  for (;;) {
    std::size_t slash = dir.find('/', pos);
    std::string prefix = dir.substr(0, slash);
    if (sys::make_dir(prefix.c_str(), mode) == 0) {
      sys::change_mode(prefix.c_str(), mode);
      if (slash == std::string::npos && created) *created = true;
    } else if (errno != EEXIST) {
      return from_errno(errno, kCantWrite);
    }
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return open_key(hive, key);
}

int create_key_exclusive(const Hive& hive, const std::string& key) {
  std::string dir = key_dir(hive, key);
  if (dir.empty()) return kInvalidParameter;
  if (sys::make_dir(dir.c_str(), 0755) != 0) return from_errno(errno, kCantWrite);
  return 0;
}

int delete_key(const Hive& hive, const std::string& key) {
  std::string dir = key_dir(hive, key);
  if (dir.empty()) return kInvalidParameter;
  if (sys::remove_dir(dir.c_str()) != 0) return from_errno(errno, kCantWrite);
  return 0;
}

int delete_tree(const Hive& hive, const std::string& key) {
  int rc = open_key(hive, key);
  if (rc != 0) return rc;
  int e = sys::remove_tree(key_dir(hive, key).c_str());
  return e == 0 ? 0 : from_errno(e, kCantWrite);
}

int query_value(const Hive& hive, const std::string& key, const std::string& name,
                ValueType& type, std::string& data) {
  std::string path = value_path(hive, key, name);
  if (path.empty()) return kInvalidParameter;
  std::string raw;
  if (int rc = read_all(path, raw); rc != 0) return rc;
  std::size_t nl = raw.find('\n');
  if (nl == std::string::npos) return kInvalidData;
  std::string tname = raw.substr(0, nl);
  if (tname == "REG_SZ") type = ValueType::sz;
  else if (tname == "REG_DWORD") type = ValueType::dword;
  else if (tname == "REG_BINARY") type = ValueType::binary;
  else return kInvalidData;
  data = raw.substr(nl + 1);
  return 0;
}

int set_value(const Hive& hive, const std::string& key, const std::string& name,
              ValueType type, const std::string& data) {
  std::string path = value_path(hive, key, name);
  if (path.empty()) return kInvalidParameter;
  if (int rc = open_key(hive, key); rc != 0) return rc;
  // The temporary file's name starts with a '.', which key listings skip.
  sys::Replacement how{.temp = key_dir(hive, key) + "/.~" + encode(name) + ".XXXXXX", .mode = 0644};
  std::string content = std::string(type_name(type)) + "\n" + data;
  int e = sys::replace_file(path.c_str(), how, content.data(), content.size());
  return e == 0 ? 0 : from_errno(e, kCantWrite);
}

int delete_value(const Hive& hive, const std::string& key, const std::string& name) {
  std::string path = value_path(hive, key, name);
  if (path.empty()) return kInvalidParameter;
  struct stat st;
  if (sys::link_status(path.c_str(), st) != 0) return from_errno(errno, kCantWrite);
  if (!S_ISREG(st.st_mode)) return kFileNotFound;
  if (sys::unlink(path.c_str()) != 0) return from_errno(errno, kCantWrite);
  return 0;
}

int list_key(const Hive& hive, const std::string& key, std::vector<std::string>& subkeys,
             std::vector<std::string>& values) {
  if (int rc = open_key(hive, key); rc != 0) return rc;
  std::string dir = key_dir(hive, key);
  std::vector<std::string> files;
  if (int e = sys::list_dir(dir.c_str(), files); e != 0) return from_errno(e, kCantRead);
  subkeys.clear();
  values.clear();
  for (const std::string& file : files) {
    if (file.empty() || file[0] == '.') continue;  // temporaries
    struct stat st;
    if (sys::status((dir + "/" + file).c_str(), st) != 0) continue;
    if (S_ISDIR(st.st_mode)) subkeys.push_back(decode(file));
    else if (S_ISREG(st.st_mode)) values.push_back(decode(file));
  }
  std::sort(subkeys.begin(), subkeys.end());
  std::sort(values.begin(), values.end());
  return 0;
}

int read_string(const Hive& hive, const std::string& key, const std::string& name,
                std::string& out, std::size_t capacity) {
  ValueType type;
  std::string data;
  if (int rc = query_value(hive, key, name, type, data); rc != 0) return rc;
  if (type != ValueType::sz) return kInvalidData;
  if (data.size() > capacity) return kMoreData;
  std::size_t nul = data.find('\0');
  out = data.substr(0, nul);
  if (nul == std::string::npos && data.size() + 1 > capacity) return kMoreData;
  return 0;
}

int read_dword(const Hive& hive, const std::string& key, const std::string& name,
               std::uint32_t& out) {
  ValueType type;
  std::string data;
  if (int rc = query_value(hive, key, name, type, data); rc != 0) return rc;
  if (type != ValueType::dword || data.size() != 4) return kInvalidData;
  const auto* b = reinterpret_cast<const unsigned char*>(data.data());
  out = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
        static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  return 0;
}

int write_string(const Hive& hive, const std::string& key, const std::string& name,
                 const std::string& value) {
  return set_value(hive, key, name, ValueType::sz, value + std::string(1, '\0'));
}

int write_dword(const Hive& hive, const std::string& key, const std::string& name,
                std::uint32_t value) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return set_value(hive, key, name, ValueType::dword, data);
}

const char* type_name(ValueType type) {
  switch (type) {
    case ValueType::sz: return "REG_SZ";
    case ValueType::dword: return "REG_DWORD";
    case ValueType::binary: return "REG_BINARY";
  }
  return "REG_BINARY";
}

}  // namespace kvf::reg
