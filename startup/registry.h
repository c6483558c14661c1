// registry.h -- the server's registry, kept as files below the installation.
//
// A hive is a directory: $VELMORANDIR/etc/registry/HKLM for this machine's
// local-machine hive. A key is a directory below it (the backslash-separated
// path "SOFTWARE\Velmoran\..." becomes SOFTWARE/Velmoran/...), a value is a
// regular file in its key's directory. A value file holds one line naming the
// type ("REG_SZ", "REG_DWORD" or "REG_BINARY") and then the data bytes exactly
// as the registry would hand them out: a string with its terminating NUL, a
// 32-bit number as 4 little-endian bytes. Writes go to a temporary file that is
// renamed over the value, so a reader sees the old or the new value, never a
// mix. A volatile key (the user-number table's "Lock") is a directory made
// with mkdir, which fails when it exists: that is the exclusive create.
//
// Key and value names are case-sensitive here. A '/' or '%' in a name, and a
// leading '.', are written as %2F, %25 and %2E in the file name. Every
// function returns 0 or the Windows error code the registry would give.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvf::reg {

// Windows error codes that the registry layer returns.
inline constexpr int kFileNotFound = 2;
inline constexpr int kAccessDenied = 5;
inline constexpr int kInvalidData = 13;
inline constexpr int kOutOfMemory = 14;
inline constexpr int kBadNetpath = 53;
inline constexpr int kInvalidParameter = 87;
inline constexpr int kDirNotEmpty = 145;
inline constexpr int kAlreadyExists = 183;
inline constexpr int kMoreData = 234;
inline constexpr int kCantRead = 1012;
inline constexpr int kCantWrite = 1013;

enum class ValueType : std::uint32_t { sz = 1, binary = 3, dword = 4 };

struct Hive {
  std::string root;  // directory holding the hive's top-level keys
};

// Directory of the registry: $VELMORANDIR/etc/registry, VELMORANDIR taken
// from the process environment ("/usr/velmoran" when unset).
std::string registry_dir();
// This machine's local-machine hive.
Hive local_hive();
// The local-machine hive of `machine` (leading backslashes allowed). Only
// this computer's own name (case-blind) connects; any other gives 53.
int connect_hive(const std::string& machine, Hive& out);

// "SOFTWARE\Velmoran\Corvane\<server>" followed by `parts`, joined with
// backslashes.
std::string server_key(const std::string& server, const std::vector<std::string>& parts);

// Directory of a key; "" when the key path is malformed (empty component,
// "." or "..").
std::string key_dir(const Hive& hive, const std::string& key);

int open_key(const Hive& hive, const std::string& key);  // 0 when it exists
// Creates the key and any missing parents; `created` tells whether the key
// itself was new. New directories get `mode`.
int create_key(const Hive& hive, const std::string& key, bool* created = nullptr,
               unsigned mode = 0755);
// Creates the key only when it does not exist (its parent must); 183 when
// it already existed.
int create_key_exclusive(const Hive& hive, const std::string& key);
// Deletes a key that has neither values nor subkeys (145 otherwise).
int delete_key(const Hive& hive, const std::string& key);
// Deletes a key with everything below it.
int delete_tree(const Hive& hive, const std::string& key);

int query_value(const Hive& hive, const std::string& key, const std::string& name,
                ValueType& type, std::string& data);
int set_value(const Hive& hive, const std::string& key, const std::string& name,
              ValueType type, const std::string& data);
int delete_value(const Hive& hive, const std::string& key, const std::string& name);
int list_key(const Hive& hive, const std::string& key, std::vector<std::string>& subkeys,
             std::vector<std::string>& values);

// A string value: its data up to the terminating NUL. 13 for another type,
// 234 when the data (terminator included) exceeds `capacity` bytes.
int read_string(const Hive& hive, const std::string& key, const std::string& name,
                std::string& out, std::size_t capacity);
// A 32-bit number value: type REG_DWORD and exactly 4 bytes, else 13.
int read_dword(const Hive& hive, const std::string& key, const std::string& name,
               std::uint32_t& out);
int write_string(const Hive& hive, const std::string& key, const std::string& name,
                 const std::string& value);
int write_dword(const Hive& hive, const std::string& key, const std::string& name,
                std::uint32_t value);

const char* type_name(ValueType type);

}  // namespace kvf::reg
