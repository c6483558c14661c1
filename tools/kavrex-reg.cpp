// kavrex-reg.cpp -- query, add and delete keys and values of the file-backed
// registry of the installation named by VELMORANDIR; setup lives in
// kavrex-reg-setup.cpp. Status 2 for bad usage, 1 for a failure.
#include "tools/kavrex-reg.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "startup/registry.h"
#include "tools/command_line.h"

namespace kavrex_reg {
namespace {

namespace reg = kvf::reg;

constexpr const char* kProgram = "kavrex-reg";

constexpr const char* kUsage =
    "Usage: kavrex-reg query KEY [VALUE]\n"
    "       kavrex-reg add KEY [VALUE TYPE DATA]    (TYPE: sz or dword)\n"
    "       kavrex-reg delete KEY [VALUE]\n"
    "       kavrex-reg setup SERVER [--dbsa-group NAME]\n"
    "Reads and writes the registry of the installation in $VELMORANDIR.\n"
    "\n"
    "  -h, --help      show this text\n"
    "  --version       show the version\n";

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kvf::cli::kVersionCode},
    {nullptr, 0, nullptr, 0},
};

int usage_error(const std::string& problem) { return kvf::cli::usage_error(kProgram, problem); }

int unexpected(const std::string& argument) { return usage_error("unexpected argument '" + argument + "'"); }

const char* reason(int code) {
  switch (code) {
    case reg::kFileNotFound: return "not found";
    case reg::kAccessDenied: return "access denied";
    case reg::kInvalidData: return "value of the wrong type or size";
    case reg::kInvalidParameter: return "malformed key or value name";
    case reg::kDirNotEmpty: return "key not empty";
    case reg::kMoreData: return "value too long";
    default: return "registry error";
  }
}

std::string show_data(reg::ValueType type, const std::string& data) {
  char buf[32];
  switch (type) {
    case reg::ValueType::sz: return data.substr(0, data.find('\0'));
    case reg::ValueType::dword:
      if (data.size() == 4) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(data[i]);
        std::snprintf(buf, sizeof buf, "0x%" PRIx32, v);
        return buf;
      }
      [[fallthrough]];
    case reg::ValueType::binary: {
      std::string hex;
      for (unsigned char c : data) {
        std::snprintf(buf, sizeof buf, "%02X", c);
        hex += buf;
      }
      return hex;
    }
  }
  return "";
}

void print_value(const reg::Hive& hive, const std::string& key, const std::string& name) {
  reg::ValueType type;
  std::string data;
  if (reg::query_value(hive, key, name, type, data) != 0) return;
  std::printf("    %s    %s    %s\n", name.c_str(), reg::type_name(type), show_data(type, data).c_str());
}

int query(const std::string& key, const std::vector<std::string>& rest) {
  reg::Hive hive = reg::local_hive();
  if (int rc = reg::open_key(hive, key); rc != 0) return fail("cannot open key " + key, rc);
  if (rest.size() == 1) {
    reg::ValueType type;
    std::string data;
    if (int rc = reg::query_value(hive, key, rest[0], type, data); rc != 0)
      return fail("cannot read value " + rest[0] + " of " + key, rc);
    std::printf("%s\n", key.c_str());
    print_value(hive, key, rest[0]);
    return 0;
  }
  std::vector<std::string> subkeys, values;
  if (int rc = reg::list_key(hive, key, subkeys, values); rc != 0)
    return fail("cannot list key " + key, rc);
  std::printf("%s\n", key.c_str());
  for (const auto& v : values) print_value(hive, key, v);
  for (const auto& k : subkeys) std::printf("%s\\%s\n", key.c_str(), k.c_str());
  return 0;
}

int add(const std::string& key, const std::vector<std::string>& rest) {
  reg::Hive hive = reg::local_hive();
  if (int rc = reg::create_key(hive, key); rc != 0) return fail("cannot create key " + key, rc);
  if (rest.empty()) return 0;
  const std::string& name = rest[0];
  const std::string& type = rest[1];
  const std::string& data = rest[2];
  int rc;
  if (type == "sz") {
    rc = reg::write_string(hive, key, name, data);
  } else {
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(data.c_str(), &end, 0);
    if (data.empty() || data[0] == '-' || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull)
      return usage_error("not a 32-bit number: " + data);
    rc = reg::write_dword(hive, key, name, static_cast<std::uint32_t>(v));
  }
  return rc == 0 ? 0 : fail("cannot write value " + name + " of " + key, rc);
}

int remove(const std::string& key, const std::vector<std::string>& rest) {
  reg::Hive hive = reg::local_hive();
  if (rest.empty()) {
    if (int rc = reg::delete_tree(hive, key); rc != 0) return fail("cannot delete key " + key, rc);
    return 0;
  }
  if (int rc = reg::delete_value(hive, key, rest[0]); rc != 0)
    return fail("cannot delete value " + rest[0] + " of " + key, rc);
  return 0;
}

}  // namespace

std::string local_key(const std::string& key) {
  for (const char* hive : {"HKLM\\", "HKEY_LOCAL_MACHINE\\"}) {
    std::size_t n = std::strlen(hive);
    if (key.compare(0, n, hive) == 0) return key.substr(n);
  }
  return key;
}

int fail(const std::string& what, int code) {
  std::fprintf(stderr, "kavrex-reg: %s: %s (error %d)\n", what.c_str(), reason(code), code);
  return 1;
}

namespace {

// `setup SERVER [--dbsa-group NAME]`: argv[0] is the word setup.
int setup_command(int argc, char** argv) {
  enum { kDbsaGroup = kvf::cli::kFirstLongCode };
  const option longs[] = {{"dbsa-group", required_argument, nullptr, kDbsaGroup}, {nullptr, 0, nullptr, 0}};
  kvf::cli::OptionParser parser(argc, argv, "", longs);
  std::string group = "velmoran";
  for (int code; (code = parser.next()) != -1;) {
    if (code != kDbsaGroup) return usage_error(parser.error());
    group = parser.value();
    if (group.empty()) return usage_error("empty group name after --dbsa-group");
  }
  int at = parser.operands();
  if (at == argc) return usage_error("setup needs a SERVER");
  if (at + 1 < argc) return unexpected(argv[at + 1]);
  return setup(argv[at], group);
}

// query, add and delete take their arguments as they stand: a value or its
// data may begin with '-'.
int key_command(const std::vector<std::string>& args) {
  const std::string& command = args[0];
  if (command != "query" && command != "add" && command != "delete")
    return usage_error("unknown command '" + command + "'");
  if (args.size() < 2) return usage_error(command + " needs a KEY");
  std::string key = local_key(args[1]);
  if (kvf::reg::key_dir(kvf::reg::local_hive(), key).empty()) return usage_error("malformed key: " + args[1]);
  std::vector<std::string> rest(args.begin() + 2, args.end());
  if (command == "add") {
    if (rest.size() > 3) return unexpected(rest[3]);
    if (rest.size() == 1 || rest.size() == 2) return usage_error("add needs a TYPE and DATA after the VALUE");
    if (!rest.empty() && rest[1] != "sz" && rest[1] != "dword")
      return usage_error("unknown type '" + rest[1] + "' (sz or dword)");
    return add(key, rest);
  }
  if (rest.size() > 1) return unexpected(rest[1]);
  return command == "query" ? query(key, rest) : remove(key, rest);
}

}  // namespace
}  // namespace kavrex_reg

int main(int argc, char** argv) {
  using namespace kavrex_reg;
  // The options end at the command word: what follows is the command's.
  kvf::cli::OptionParser parser(argc, argv, "+h", kLongOptions);
  for (int code; (code = parser.next()) != -1;) {
    switch (code) {
      case 'h': return kvf::cli::print_help(kUsage);
      case kvf::cli::kVersionCode: return kvf::cli::print_version(kProgram);
      default: return usage_error(parser.error());
    }
  }
  int at = parser.operands();
  if (at == argc) return usage_error("no command: give query, add, delete or setup");
  if (std::strcmp(argv[at], "setup") == 0) return setup_command(argc - at, argv + at);
  return key_command(std::vector<std::string>(argv + at, argv + argc));
}
