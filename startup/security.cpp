// security.cpp -- security_init: the server name check, the account, the
// security hive (REGMACHINE), the group names from the registry, the
// authentication mode, and the account's registration; and is_dbsa.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <pwd.h>
#include <unistd.h>

#include "platform/process.h"
#include "startup/host.h"
#include "startup/registry.h"
#include "startup/security_state.h"
#include "startup/settings.h"

namespace kvf {

SecurityIdentity g_identity;

namespace {

constexpr std::size_t kComputerValue = 18;  // bytes with terminator
constexpr std::size_t kGroupNameValue = 66;
constexpr std::size_t kDomainValue = 18;
constexpr std::size_t kMaxNarrowAccount = 65;

std::atomic<bool> g_auth_busy{false};

// The DBSA verdict, decided by the first is_dbsa call.
bool g_dbsa_decided = false;
int g_dbsa = 0;
unsigned g_dbsa_gid = 0;

std::string environment_key() { return reg::server_key(g_identity.server, {"Environment"}); }

int read_group(const char* group, const char* value, std::size_t cap, std::string& out) {
  return reg::read_string(g_identity.hive, security_key({group}), value, out, cap);
}

int find_mode_locked() {
  SecurityIdentity& id = g_identity;
  if (same_name(id.computer, id.dbsa_domain)) {
    id.local_authentication = true;
    return 0;
  }
  id.local_authentication = false;
  struct passwd* pw = ::getpwuid(::geteuid());
  if (!pw) return kSecBadName;
  // A Linux machine is never a domain controller, so asking for the local
  // server's role never ends the search here.
  if (id.controller.empty()) {
    std::string dc;
    reg::Hive local = reg::local_hive();
    if (reg::read_string(local, environment_key(), "Domain Authentication Server", dc,
                         kComputerValue) == 0 &&
        !dc.empty()) {
      id.controller = dc;
      return 0;
    }
  }
  // No domain controller can be found for the DBSA group's domain.
  return kWinNoSuchDomain;
}

}  // namespace

const SecurityIdentity& security_identity() { return g_identity; }

std::string security_key(const std::vector<std::string>& parts) {
  std::vector<std::string> all{"Security"};
  all.insert(all.end(), parts.begin(), parts.end());
  return reg::server_key(g_identity.server, all);
}

int find_authentication_mode() {
  while (g_auth_busy.exchange(true)) sys::sleep_ms(1);
  int rc = find_mode_locked();
  g_auth_busy.store(false);
  return rc;
}

int security_init() {
  SecurityIdentity& id = g_identity;
  const char* server = std::getenv("VELMORANSERVER");
  if (!server) return kSecNoServer;
  if (std::strlen(server) > kServerNameMax) {
    std::fprintf(stderr,
                 "Environment variable VELMORANSERVER is too long (maximum is %d characters).\n",
                 static_cast<int>(kServerNameMax));
    return kSecNoServer;
  }
  id.server = server;

  // The account and this computer.
  id.computer = computer_name();
  Token token;
  if (int rc = read_process_token(token); rc != 0) return rc;
  if (token.user.empty()) return kWinNoneMapped;
  id.account = token.user;
  id.domain = token.domain;

  // The security hive: local unless REGMACHINE names another computer.
  reg::Hive local = reg::local_hive();
  if (int rc = reg::open_key(local, environment_key()); rc != 0) return rc;
  id.hive = local;
  std::string machine;
  if (reg::read_string(local, environment_key(), "REGMACHINE", machine, kComputerValue) == 0 &&
      !machine.empty() && !same_name(machine, "\\\\" + id.computer)) {
    if (int rc = reg::connect_hive(machine, id.hive); rc != 0) return rc;
  }

  // The group names.
  if (int rc = read_group("VLDBSA Group", "Name", kGroupNameValue, id.dbsa_group); rc != 0)
    return rc;
  if (int rc = read_group("VLDBSA Group", "Domain", kDomainValue, id.dbsa_domain); rc != 0)
    return rc;
  if (int rc = read_group("VLDBSSO Group", "Name", kGroupNameValue, id.dbsso_group); rc != 0)
    return rc;
  if (int rc = read_group("VLAAO Group", "Name", kGroupNameValue, id.aao_group); rc != 0)
    return rc;
  if (int rc = read_group("VLUSERS Group", "Name", kGroupNameValue, id.users_group); rc != 0)
    return rc;

  if (int rc = find_authentication_mode(); rc != 0) return rc;
  if (int rc = create_user_table(); rc != 0) return rc;

  if (id.account.size() > kMaxNarrowAccount) return kSecBadName;
  UserEntry* self = nullptr;
  if (int rc = register_account(id.domain, id.account, &self); rc != 0) return rc;
  id.self = self;
  id.current = self;
  return 0;
}

int dbsa_verdict(const Token& token, int flag, const std::string& group,
                 const std::string& domain, unsigned* matched_gid) {
  if (token.uid == 0) return 1;
  if (flag != 0) return 0;  // only the system account holds the debug privileges
  if (token.administrators) return 1;
  for (const TokenGroup& g : token.groups) {
    if (same_name(g.name, group) && (same_name(g.domain, domain) || same_name(g.domain, "BUILTIN"))) {
      if (matched_gid) *matched_gid = g.gid;
      return 1;
    }
  }
  return 0;
}

int is_dbsa(int flag) {
  if (g_dbsa_decided) return g_dbsa;
  g_dbsa_decided = true;
  Token token;
  if (read_process_token(token) != 0) return 0;
  g_dbsa = dbsa_verdict(token, flag, g_identity.dbsa_group, g_identity.dbsa_domain, &g_dbsa_gid);
  return g_dbsa;
}

std::uint16_t getuid() { return g_identity.self ? g_identity.self->number : 0; }

}  // namespace kvf
