// Security start-up: the server name check, the registry keys it needs,
// REGMACHINE, the authentication mode, the user-number table with its lock
// and the DBSA rule. Start-ups under another account are run as whole
// programs by the front-end and installation tests.
#include <cerrno>
#include <cctype>
#include <chrono>

#include "startup/host.h"
#include "startup/registry.h"
#include "startup/security.h"
#include "startup_fixture.h"

namespace {

namespace reg = kvf::reg;

class SecurityTest : public startup_test::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    ::setenv("VELMORANSERVER", "srv", 1);
    install_keys("srv", "velmoran");
  }
  static std::string key(std::vector<std::string> parts, const std::string& server = "srv") {
    return reg::server_key(server, parts);
  }
  void install_keys(const std::string& server, const std::string& group) {
    ASSERT_EQ(reg::create_key(h(), key({"Environment"}, server)), 0);
    for (const char* g : {"VLDBSA Group", "VLDBSSO Group", "VLAAO Group", "VLUSERS Group"}) {
      ASSERT_EQ(reg::create_key(h(), key({"Security", g}, server)), 0);
      ASSERT_EQ(reg::write_string(h(), key({"Security", g}, server), "Name", group), 0);
      ASSERT_EQ(reg::write_string(h(), key({"Security", g}, server), "Domain", kvf::computer_name()), 0);
    }
    ASSERT_EQ(reg::create_key(h(), key({"Security", "Users", "Usernames"}, server)), 0);
    ASSERT_EQ(reg::write_dword(h(), key({"Security", "Users"}, server), "UIDSeed", 0), 0);
  }
  static reg::Hive h() { return reg::local_hive(); }
  std::uint32_t seed() {
    std::uint32_t v = 0;
    EXPECT_EQ(reg::read_dword(h(), users_, "UIDSeed", v), 0);
    return v;
  }
  bool locked() { return reg::open_key(h(), lock_) == 0; }

  const std::string users_ = key({"Security", "Users"}), names_ = key({"Security", "Users", "Usernames"}),
                    lock_ = key({"Security", "Users", "Lock"}), environment_ = key({"Environment"});
};

TEST_F(SecurityTest, ServerNameMustBeSetAndAtMost128) {
  ::unsetenv("VELMORANSERVER");
  EXPECT_EQ(kvf::security_init(), kvf::kSecNoServer);
  std::string s128(128, 's');
  ::setenv("VELMORANSERVER", s128.c_str(), 1);
  install_keys(s128, "velmoran");
  EXPECT_EQ(kvf::security_init(), 0);
}

TEST_F(SecurityTest, RootStartsAndRegistersOnce) {
  ASSERT_EQ(kvf::security_init(), 0);
  const auto& id = kvf::security_identity();
  EXPECT_EQ(id.account, "root");
  EXPECT_EQ(id.domain, kvf::computer_name());
  EXPECT_TRUE(id.local_authentication);
  EXPECT_EQ(id.dbsa_group, "velmoran");
  EXPECT_EQ(kvf::getuid(), 1);
  EXPECT_EQ(seed(), 1u);
  std::uint32_t number = 0;
  std::string who;
  EXPECT_EQ(reg::read_dword(h(), names_, id.domain + "\\root", number), 0);
  EXPECT_EQ(number, 1u);
  EXPECT_EQ(reg::read_string(h(), names_, "UID1", who, 100), 0);
  EXPECT_EQ(who, id.domain + "\\root");
  // Once listed, a start-up touches neither the seed nor the lock, even a
  // stale one.
  ASSERT_EQ(reg::create_key_exclusive(h(), lock_), 0);
  EXPECT_EQ(kvf::security_init(), 0);
  EXPECT_EQ(kvf::getuid(), 1);
  EXPECT_EQ(seed(), 1u);
  EXPECT_STREQ(kvf::account_name(1), "root");
  const kvf::AccountRecord* rec = kvf::lookup_account("root");
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->uid, 1);
  EXPECT_EQ(rec->shell, "cmd.exe");
  EXPECT_EQ(kvf::switch_identity(1), 0);
}

TEST_F(SecurityTest, NewAccountsGetConsecutiveNumbers) {
  ASSERT_EQ(kvf::security_init(), 0);
  kvf::UserEntry* a = nullptr;
  kvf::UserEntry* b = nullptr;
  kvf::UserEntry* again = nullptr;
  ASSERT_EQ(kvf::register_account("DOM", "alice", &a), 0);
  ASSERT_EQ(kvf::register_account("DOM", "bob", &b), 0);
  ASSERT_EQ(kvf::register_account("DOM", "alice", &again), 0);
  EXPECT_EQ(b->number, a->number + 1);
  EXPECT_EQ(again, a);
  EXPECT_EQ(a->references, 2);
  EXPECT_FALSE(locked());
  EXPECT_STREQ(kvf::account_name(b->number), "bob");
  errno = 0;
  EXPECT_EQ(kvf::switch_identity(b->number), -1);  // no logon token to take on
  EXPECT_EQ(kvf::switch_identity(4000), -1);
  EXPECT_EQ(errno, 22);
  EXPECT_EQ(kvf::register_account("D", std::string(82, 'n'), nullptr), kvf::kSecBadName);
  EXPECT_EQ(kvf::register_account("", "x", nullptr), kvf::kSecBadName);
}

TEST_F(SecurityTest, AccountLookupForgetsAccountsThatAreGone) {
  ASSERT_EQ(kvf::security_init(), 0);
  std::string ghost = kvf::computer_name() + "\\no-such-account-here";
  ASSERT_EQ(reg::write_dword(h(), names_, ghost, 9), 0);
  ASSERT_EQ(reg::write_string(h(), names_, "UID9", ghost), 0);
  EXPECT_EQ(kvf::lookup_account("no-such-account-here"), nullptr);
  kvf::reg::ValueType type;
  std::string data;
  EXPECT_EQ(reg::query_value(h(), names_, ghost, type, data), reg::kFileNotFound);
  EXPECT_EQ(reg::query_value(h(), names_, "UID9", type, data), reg::kFileNotFound);
  // An account of this computer that is not listed yet is registered.
  const kvf::AccountRecord* rec = kvf::lookup_account("\\\\nobody");
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->name, "nobody");
  EXPECT_EQ(rec->uid, 2);
  EXPECT_EQ(kvf::lookup_account("OTHERDOMAIN\\nobody"), nullptr);
}

TEST_F(SecurityTest, ExhaustedSeedFailsAndReleasesTheLock) {
  ASSERT_EQ(kvf::security_init(), 0);
  ASSERT_EQ(reg::write_dword(h(), users_, "UIDSeed", 65535), 0);
  EXPECT_EQ(kvf::register_account("DOM", "carol", nullptr), kvf::kSecNoUserNumber);
  EXPECT_FALSE(locked());
  EXPECT_EQ(seed(), 65535u);
  // A seed of the wrong size or type is no seed either.
  ASSERT_EQ(reg::set_value(h(), users_, "UIDSeed", reg::ValueType::dword, "ab"), 0);
  EXPECT_EQ(kvf::register_account("DOM", "carol", nullptr), kvf::kSecNoUserNumber);
  ASSERT_EQ(reg::write_string(h(), users_, "UIDSeed", "7"), 0);
  EXPECT_EQ(kvf::register_account("DOM", "carol", nullptr), kvf::kSecNoUserNumber);
  EXPECT_FALSE(locked());
}

TEST_F(SecurityTest, StaleLockGivesUpAfterFiftyRetries) {
  ASSERT_EQ(kvf::security_init(), 0);
  ASSERT_EQ(reg::create_key_exclusive(h(), lock_), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kvf::register_account("DOM", "dave", nullptr), kvf::kSecLock);
  auto waited = std::chrono::steady_clock::now() - start;
  // Fifty pauses of 100 ms at the least; a busy machine may add to that.
  EXPECT_GE(waited, std::chrono::milliseconds(50 * 100));
  EXPECT_TRUE(locked());  // not ours to remove
}

TEST_F(SecurityTest, MissingOrMalformedKeysFailTheStart) {
  ASSERT_EQ(reg::write_dword(h(), key({"Security", "VLAAO Group"}), "Name", 5), 0);
  EXPECT_EQ(kvf::security_init(), reg::kInvalidData);
  ASSERT_EQ(reg::write_string(h(), key({"Security", "VLAAO Group"}), "Name", std::string(66, 'g')), 0);
  EXPECT_EQ(kvf::security_init(), reg::kMoreData);
  ASSERT_EQ(reg::delete_tree(h(), key({"Security", "VLAAO Group"})), 0);
  EXPECT_EQ(kvf::security_init(), reg::kFileNotFound);
  ASSERT_EQ(reg::delete_tree(h(), environment_), 0);
  EXPECT_EQ(kvf::security_init(), reg::kFileNotFound);
}

TEST_F(SecurityTest, RegmachineNamingThisComputerStaysLocal) {
  std::string lower = kvf::computer_name();
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_EQ(reg::write_string(h(), environment_, "REGMACHINE", "\\\\" + lower), 0);
  EXPECT_EQ(kvf::security_init(), 0);
  ASSERT_EQ(reg::write_string(h(), environment_, "REGMACHINE", "\\\\ELSEWHERE"), 0);
  EXPECT_EQ(kvf::security_init(), reg::kBadNetpath);
  ASSERT_EQ(reg::write_string(h(), environment_, "REGMACHINE", ""), 0);
  EXPECT_EQ(kvf::security_init(), 0);
}

TEST_F(SecurityTest, ForeignDomainNeedsAnAuthenticationServer) {
  ASSERT_EQ(reg::write_string(h(), key({"Security", "VLDBSA Group"}), "Domain", "CORP"), 0);
  EXPECT_EQ(kvf::security_init(), kvf::kWinNoSuchDomain);
  ASSERT_EQ(reg::write_string(h(), environment_, "Domain Authentication Server", "DC1"), 0);
  EXPECT_EQ(kvf::security_init(), 0);
  EXPECT_FALSE(kvf::security_identity().local_authentication);
  EXPECT_EQ(kvf::security_identity().controller, "DC1");
}

TEST(DbsaRule, WhoIsPrivileged) {
  kvf::Token t;
  t.uid = 1000;
  t.groups = {{100, "users", "HOST"}, {200, "Velmoran", "OTHER"}};
  unsigned gid = 0;
  EXPECT_EQ(kvf::dbsa_verdict(t, 0, "velmoran", "HOST", &gid), 0);  // name right, domain wrong
  t.groups.push_back({300, "VELMORAN", "builtin"});
  EXPECT_EQ(kvf::dbsa_verdict(t, 0, "velmoran", "HOST", &gid), 1);
  EXPECT_EQ(gid, 300u);
  t.groups = {{400, "velmoran", "host"}};
  EXPECT_EQ(kvf::dbsa_verdict(t, 0, "velmoran", "HOST", nullptr), 1);
  EXPECT_EQ(kvf::dbsa_verdict(t, 1, "velmoran", "HOST", nullptr), 0);  // privileges: root only
  t.groups.clear();
  t.administrators = true;
  EXPECT_EQ(kvf::dbsa_verdict(t, 0, "velmoran", "HOST", nullptr), 1);
  t.administrators = false;
  t.uid = 0;  // the system account, whatever its groups
  EXPECT_EQ(kvf::dbsa_verdict(t, 1, "velmoran", "HOST", nullptr), 1);
}

}  // namespace
