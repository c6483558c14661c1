// security.h -- who runs the tool and whether that account may administer
// the server: the security start-up, the DBSA check, the user-number table.
//
// On Linux the account is the effective uid's entry of the password
// database, its domain is this computer's name; uid 0 is the local system
// account, membership in group id 0 is membership of the local
// Administrators; the token's groups are the process's groups.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "startup/registry.h"

namespace kvf {

// Status codes of the start-up beside 0, 1 and Windows error codes.
inline constexpr int kSecNoServer = 1;
inline constexpr int kSecNoUserNumber = 12877;
inline constexpr int kSecCantWriteNumber = 12878;
inline constexpr int kSecNoMemory = 12879;
inline constexpr int kSecCantInsert = 12880;
inline constexpr int kSecBadName = 12882;
inline constexpr int kSecLock = 12885;
// Windows codes the Linux mapping gives.
inline constexpr int kWinNoneMapped = 1332;      // the uid has no account
inline constexpr int kWinNoSuchDomain = 1355;   // no domain controller
inline constexpr int kWinInvalidHandle = 6;      // impersonation without a token

inline constexpr int kUserTableBuckets = 1753;
inline constexpr int kLockRetries = 50;
inline constexpr int kLockWaitMs = 100;

// The account's view of itself: the token of the process.
struct TokenGroup {
  unsigned gid = 0;
  std::string name;
  std::string domain;
};
struct Token {
  unsigned uid = 0;
  std::string user;     // empty when the uid has no account
  std::string domain;
  bool administrators = false;  // member of group id 0
  std::vector<TokenGroup> groups;
};
// Reads the token of this process; 0 or a Windows error code.
int read_process_token(Token& token);

// An entry of the in-memory user table.
struct UserEntry {
  UserEntry** link = nullptr;  // the pointer that points to this entry
  UserEntry* next = nullptr;
  std::string name;
  std::string domain;
  std::uint16_t number = 0;
  void* token = nullptr;  // logon token; none for entries made here
  int references = 1;
};

// What security_init established, for the libraries and the tests.
struct SecurityIdentity {
  std::string computer;  // this computer's name, without the backslashes
  std::string account;
  std::string domain;
  std::string dbsa_group, dbsa_domain, dbsso_group, aao_group, users_group;
  reg::Hive hive;            // security hive: local, or the one REGMACHINE names
  std::string server;        // VELMORANSERVER
  bool local_authentication = false;
  std::string controller;    // domain controller, empty when none
  UserEntry* self = nullptr;
  UserEntry* current = nullptr;
};
const SecurityIdentity& security_identity();

// The start-up: 0, 1 for a missing or too long VELMORANSERVER, a Windows
// error code, or one of the codes above.
int security_init();

// 1 when the account may administer the server, else 0; decided once per
// process. The front end passes 0.
int is_dbsa(int flag);
// The verdict's rule, for a given token and DBSA group.
int dbsa_verdict(const Token& token, int flag, const std::string& group,
                 const std::string& domain, unsigned* matched_gid);

// The self entry's user number.
std::uint16_t getuid();

// Registers domain\name in the user-number table and the user table.
int register_account(const std::string& domain, const std::string& name, UserEntry** entry);

// The account record that lookup_account and account_name fill (one per
// process, reused by every call).
struct AccountRecord {
  std::string name;
  std::string password = " ";
  std::uint16_t uid = 0;
  unsigned gid = 0;
  std::string gecos = " ";
  std::string comment = " ";
  std::string home;            // always empty
  std::string shell = "cmd.exe";
};
const AccountRecord* lookup_account(const char* name);
const char* account_name(std::uint16_t number);
int switch_identity(std::uint16_t number);

// Keys of the server's security settings (below its registry key).
std::string security_key(const std::vector<std::string>& parts);

}  // namespace kvf
