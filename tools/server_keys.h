// server_keys.h -- installing the registry keys a server needs so that its
// administrators can run the tool (used by kavrex-reg setup and the
// stand-in server).
#pragma once

#include <string>

namespace kvf {

struct ServerKeysResult {
  std::string report;  // one line per key or value created, then who may write
  std::string error;   // what failed, when the status is not 0
};

// Creates, below SOFTWARE\Velmoran\Corvane\<server>, what is missing of:
// Environment; Security\{VLDBSA,VLDBSSO,VLAAO,VLUSERS} Group with Name
// (`group`) and Domain (this computer); Security\Users with UIDSeed 0 and
// Security\Users\Usernames. Existing keys and values are kept. New Users
// and Usernames keys become writable by `group` when this computer has it.
// 0; 2 for a malformed server or group name; 1 when the registry refused.
int install_server_keys(const std::string& server, const std::string& group,
                        ServerKeysResult& result);

}  // namespace kvf
