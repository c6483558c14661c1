// kavrex-reg.h -- the parts of kavrex-reg shared by its sources.
#pragma once

#include <string>

namespace kavrex_reg {

// Key path below the local machine's hive: an "HKLM\" or
// "HKEY_LOCAL_MACHINE\" in front is dropped.
std::string local_key(const std::string& key);

// `setup SERVER [--dbsa-group NAME]`; the exit status.
int setup(const std::string& server, const std::string& group);

int fail(const std::string& what, int code);

}  // namespace kavrex_reg
