// token.cpp -- the process's "token" on Linux: the effective uid's account
// from the password database and the process's groups from getgroups with
// their names from the group database, all of this computer's domain.
#include <algorithm>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "startup/host.h"
#include "startup/security.h"

namespace kvf {

int read_process_token(Token& token) {
  token = Token{};
  token.uid = ::geteuid();
  std::string computer = computer_name();
  if (struct passwd* pw = ::getpwuid(token.uid)) token.user = pw->pw_name;
  token.domain = computer;

  int n = ::getgroups(0, nullptr);
  if (n < 0) return kWinNoneMapped;
  std::vector<gid_t> gids(static_cast<std::size_t>(n) + 1);
  n = ::getgroups(n, gids.data());
  if (n < 0) return kWinNoneMapped;
  gids.resize(static_cast<std::size_t>(n));
  gid_t primary = ::getegid();
  if (std::find(gids.begin(), gids.end(), primary) == gids.end()) gids.insert(gids.begin(), primary);

  for (gid_t gid : gids) {
    if (gid == 0) token.administrators = true;
    struct group* gr = ::getgrgid(gid);
    if (!gr) continue;  // a group without a name matches no group name
    token.groups.push_back(TokenGroup{static_cast<unsigned>(gid), gr->gr_name, computer});
  }
  return 0;
}

}  // namespace kvf
