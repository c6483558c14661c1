// Fuzz target: the file-backed registry. The input is a value name, a NUL,
// then bytes. The bytes go into a value file as they are and are read back
// as the security start-up reads its values (string with the start-up's
// capacities, number, raw); then the name and bytes are written through
// set_value and must come back the same, by query and by key listing.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "startup/registry.h"

namespace {

namespace reg = kvf::reg;

const std::string kKey = "SOFTWARE\\Velmoran\\Corvane\\fz\\Security\\VLDBSA Group";
constexpr char kRawName[] = "Name";

const reg::Hive& hive() {
  static reg::Hive h = [] {
    reg::Hive made{fuzz::scratch_dir() + "/HKLM"};
    std::filesystem::create_directories(made.root);
    if (reg::create_key(made, kKey) != 0) __builtin_trap();
    return made;
  }();
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const reg::Hive& h = hive();
  const char* text = reinterpret_cast<const char*>(data);
  const char* nul = static_cast<const char*>(std::memchr(text, '\0', size));
  std::string name(text, nul ? static_cast<std::size_t>(nul - text) : size);
  std::string bytes = nul ? std::string(nul + 1, text + size) : std::string();

  // The value file exactly as the input gives it.
  std::string dir = reg::key_dir(h, kKey);
  fuzz::write_file(dir + "/" + kRawName, bytes.data(), bytes.size());
  reg::ValueType type{};
  std::string got;
  reg::query_value(h, kKey, kRawName, type, got);
  for (std::size_t capacity : {18u, 66u, 0u})
    if (reg::read_string(h, kKey, kRawName, got, capacity) == 0 && got.size() >= std::max<std::size_t>(capacity, 1))
      __builtin_trap();  // a string read must fit its capacity with its terminator
  std::uint32_t number = 0;
  reg::read_dword(h, kKey, kRawName, number);

  // A named value written and read back; names the file system refuses
  // (too long) are errors, not findings.
  if (name.empty() || name == kRawName) return 0;
  if (reg::set_value(h, kKey, name, reg::ValueType::binary, bytes) != 0) return 0;
  if (reg::query_value(h, kKey, name, type, got) != 0 || type != reg::ValueType::binary || got != bytes)
    __builtin_trap();
  std::vector<std::string> keys, values;
  if (reg::list_key(h, kKey, keys, values) != 0 ||
      std::find(values.begin(), values.end(), name) == values.end())
    __builtin_trap();
  if (reg::delete_value(h, kKey, name) != 0) __builtin_trap();
  return 0;
}
