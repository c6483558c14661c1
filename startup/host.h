// host.h -- this computer's name as the account services spell it.
#pragma once

#include <string>

namespace kvf {

// The host name up to its first dot, in upper case, cut to 15 characters
// (the longest computer name the identity records keep).
std::string computer_name();

// Case-blind comparison of two ASCII names.
bool same_name(const std::string& a, const std::string& b);

}  // namespace kvf
