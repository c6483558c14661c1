// kavrex-reg-setup.cpp -- `kavrex-reg setup`: prints what the installation
// of the server's keys created, and who may write the user-number table.
#include <cstdio>

#include "tools/command_line.h"
#include "tools/kavrex-reg.h"
#include "tools/server_keys.h"

namespace kavrex_reg {

int setup(const std::string& server, const std::string& group) {
  kvf::ServerKeysResult result;
  int status = kvf::install_server_keys(server, group, result);
  std::fputs(result.report.c_str(), stdout);
  // Status 2 is a server or group name that cannot be one: a usage error.
  if (status == 2) return kvf::cli::usage_error("kavrex-reg", result.error);
  if (status != 0) std::fprintf(stderr, "kavrex-reg: %s\n", result.error.c_str());
  return status;
}

}  // namespace kavrex_reg
