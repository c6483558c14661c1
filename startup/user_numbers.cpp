// user_numbers.cpp -- the user-number table in the security hive ("UIDSeed",
// "Usernames", the "Lock" key taken by an exclusive create) and the
// in-memory user table; lookup_account, account_name and switch_identity.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include <pwd.h>

#include "platform/process.h"
#include "startup/host.h"
#include "startup/registry.h"
#include "startup/security_state.h"

namespace kvf {

UserTable* g_user_table = nullptr;

namespace {

constexpr std::size_t kMaxQualified = 82;  // domain and name together
constexpr std::uint32_t kMaxUserNumber = 65535;

constexpr int bucket_count() {
  constexpr int primes[] = {31, 71, 163, 307, 509, 751, 997, 1301, 1753, 2207, 3037};
  for (int p : primes)
    if (p >= 1000 * 10 / 6) return p;
  return primes[10];
}
static_assert(bucket_count() == kUserTableBuckets);

// The one account record of the process.
AccountRecord g_record;

std::string usernames_key() { return security_key({"Users", "Usernames"}); }
std::string users_key() { return security_key({"Users"}); }
std::string lock_key() { return security_key({"Users", "Lock"}); }

int take_lock(const reg::Hive& hive) {
  for (int retries = 0;; ++retries) {
    int rc = reg::create_key_exclusive(hive, lock_key());
    if (rc == 0) return 0;
    if (rc != reg::kAlreadyExists || retries >= kLockRetries) return kSecLock;
    sys::sleep_ms(kLockWaitMs);
  }
}

// Hands out the next number to domain\name under the lock.
int new_number(const reg::Hive& hive, const std::string& qualified, std::uint32_t& number) {
  std::uint32_t seed = 0;
  if (reg::read_dword(hive, users_key(), "UIDSeed", seed) != 0 || seed >= kMaxUserNumber)
    return kSecNoUserNumber;
  number = seed + 1;
  if (reg::write_dword(hive, users_key(), "UIDSeed", number) != 0) return kSecNoUserNumber;
  if (reg::write_dword(hive, usernames_key(), qualified, number) != 0 ||
      reg::write_string(hive, usernames_key(), "UID" + std::to_string(number), qualified) != 0)
    return kSecCantWriteNumber;
  return 0;
}

int enter_table(const std::string& domain, const std::string& name, std::uint16_t number,
                UserEntry** out) {
  if (!g_user_table) return kSecCantInsert;
  std::lock_guard<std::mutex> guard(g_user_table->lock);
  if (UserEntry* e = find_user(number)) {
    ++e->references;
    if (out) *out = e;
    return 0;
  }
  UserEntry* e = new (std::nothrow) UserEntry;
  if (!e) return kSecNoMemory;
  e->name = name;
  e->domain = domain;
  e->number = number;
  UserEntry** link = &g_user_table->buckets[number % kUserTableBuckets];
  while (*link) link = &(*link)->next;
  *link = e;
  e->link = link;
  if (out) *out = e;
  return 0;
}

// domain\name as an account of this computer: the domain must be this
// computer's name and the name an entry of the password database.
bool account_resolves(const std::string& domain, const std::string& name) {
  return same_name(domain, computer_name()) && ::getpwnam(name.c_str()) != nullptr;
}

}  // namespace

int create_user_table() {
  if (g_user_table) return 0;
  g_user_table = new (std::nothrow) UserTable;
  if (!g_user_table) return kSecNoMemory;
  try {
    g_user_table->buckets.assign(kUserTableBuckets, nullptr);
  } catch (const std::bad_alloc&) {
    return kSecNoMemory;
  }
  return 0;
}

UserEntry* find_user(std::uint16_t number) {
  for (UserEntry* e = g_user_table->buckets[number % kUserTableBuckets]; e; e = e->next)
    if (e->number == number) return e;
  return nullptr;
}

int register_account(const std::string& domain, const std::string& name, UserEntry** entry) {
  if (domain.empty() || name.empty() || domain.size() + name.size() > kMaxQualified)
    return kSecBadName;
  const reg::Hive& hive = g_identity.hive;
  std::string qualified = domain + "\\" + name;
  std::uint32_t number = 0;
  if (reg::read_dword(hive, usernames_key(), qualified, number) != 0) {
    if (take_lock(hive) != 0) return kSecLock;
    int rc = new_number(hive, qualified, number);
    int unlock = reg::delete_key(hive, lock_key());
    if (rc != 0) return rc;
    if (unlock != 0) return kSecLock;
  }
  return enter_table(domain, name, static_cast<std::uint16_t>(number), entry);
}

const AccountRecord* lookup_account(const char* account) {
  if (!account) return nullptr;
  std::string a = account;
  for (int i = 0; i < 2 && !a.empty() && a[0] == '\\'; ++i) a.erase(0, 1);
  std::string domain, name;
  if (std::size_t bs = a.find('\\'); bs != std::string::npos) {
    if (a.size() > 83) return nullptr;
    domain = a.substr(0, bs);
    name = a.substr(bs + 1);
  } else {
    if (a.size() > 65) return nullptr;
    // Without a domain controller, the accounts that resolve are this
    // computer's; the own domain is this computer's name as well.
    domain = g_identity.domain.empty() ? computer_name() : g_identity.domain;
    name = a;
  }
  bool resolves = account_resolves(domain, name);
  const reg::Hive& hive = g_identity.hive;
  std::string qualified = domain + "\\" + name;
  std::uint32_t number = 0;
  if (reg::read_dword(hive, usernames_key(), qualified, number) == 0) {
    if (!resolves) {
      reg::delete_value(hive, usernames_key(), "UID" + std::to_string(number));
      reg::delete_value(hive, usernames_key(), qualified);
      return nullptr;
    }
  } else {
    if (!resolves) return nullptr;
    UserEntry* e = nullptr;
    if (register_account(domain, name, &e) != 0) return nullptr;
    number = e->number;
  }
  g_record = AccountRecord{};
  g_record.name = name;
  g_record.uid = static_cast<std::uint16_t>(number);
  return &g_record;
}

const char* account_name(std::uint16_t number) {
  std::string name;
  if (g_user_table) {
    std::lock_guard<std::mutex> guard(g_user_table->lock);
    if (UserEntry* e = find_user(number)) name = e->name;
  }
  if (name.empty()) {
    std::string qualified;
    if (reg::read_string(g_identity.hive, usernames_key(), "UID" + std::to_string(number),
                         qualified, 84) != 0)
      return nullptr;
    std::size_t bs = qualified.find('\\');
    name = bs == std::string::npos ? qualified : qualified.substr(bs + 1);
  }
  g_record = AccountRecord{};
  g_record.name = name;
  g_record.uid = number;
  return g_record.name.c_str();
}

int switch_identity(std::uint16_t number) {
  SecurityIdentity& id = g_identity;
  if (id.current && id.current->number == number) return 0;
  if (id.self && id.self->number == number) {
    id.current = id.self;  // reverting to the process's own identity
    return 0;
  }
  UserEntry* e = nullptr;
  if (g_user_table) {
    std::lock_guard<std::mutex> guard(g_user_table->lock);
    e = find_user(number);
  }
  if (!e) {
    errno = EINVAL;
    return -1;
  }
  // An entry made here has no logon token, and a Linux process cannot take
  // on another account's identity for one thread.
  if (!e->token) {
    errno = kWinInvalidHandle;
    return -1;
  }
  id.current = e;
  return 0;
}

}  // namespace kvf
