// server_info.h -- which server the tool works on: the information file
// $VELMORANDIR/etc/.infos.<server> and its server record.
#pragma once

#include <cstdint>
#include <string>

namespace kvf {

// Looks up VELMORANDIR and VELMORANSERVER; returns nullptr when unset. The
// default reads the process environment, with "/usr/velmoran" for an unset
// VELMORANDIR; the start-up code installs the settings lookup in its place.
using SettingLookup = const char* (*)(const char* name);
void set_setting_lookup(SettingLookup lookup);
const char* server_setting(const char* name);

// The installation directory, "/etc/", `suffix` and the server name (the
// given one, or VELMORANSERVER when `server` is nullptr), joined as they are.
// Returns 0, or -1 when the directory or the needed server name is unset.
int server_file_path(std::string& path, const char* suffix, const char* server = nullptr);

// Opens the information file of VELMORANSERVER, read-only or read-write,
// repeating the open while it fails with EINTR. Returns the descriptor or -1.
int open_info_file(bool read_only);

// The key of the server's first segment, with its address in `base`; both
// all ones (key -1) when the server cannot be identified.
std::int32_t find_server(std::uint64_t& base);

}  // namespace kvf
