// kavrex-reg-setup.cpp -- `kavrex-reg setup`: creates the keys and values a
// server needs for its accounts to run the tool, keeps whatever exists, and
// lets the DBSA group write the user-number table so new accounts register.
#include <cstdio>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "startup/host.h"
#include "startup/registry.h"
#include "tools/kavrex-reg.h"

namespace kavrex_reg {
namespace {

namespace reg = kvf::reg;

struct Setup {
  reg::Hive hive = reg::local_hive();
  std::string server;
  int status = 0;

  // Creates the key unless it exists; true when it was created here.
  bool key(const std::string& k, unsigned mode = 0755) {
    bool created = false;
    if (int rc = reg::create_key(hive, k, &created, mode); rc != 0) {
      status = fail("cannot create key " + k, rc);
      return false;
    }
    if (created) std::printf("created key %s\n", k.c_str());
    return created;
  }

  // Writes the value unless the key already has one of that name.
  void value(const std::string& k, const std::string& name, const std::string* text,
             std::uint32_t number) {
    reg::ValueType type;
    std::string data;
    if (reg::query_value(hive, k, name, type, data) == 0) return;
    int rc = text ? reg::write_string(hive, k, name, *text) : reg::write_dword(hive, k, name, number);
    if (rc != 0) {
      status = fail("cannot write value " + name + " of " + k, rc);
      return;
    }
    std::printf("created value %s\\%s = %s\n", k.c_str(), name.c_str(),
                text ? ("\"" + *text + "\"").c_str() : std::to_string(number).c_str());
  }
};

bool valid_server(const std::string& s) {
  return !s.empty() && s.size() <= 128 && s.find_first_of("\\/") == std::string::npos &&
         s != "." && s != "..";
}

}  // namespace

int setup(const std::string& server, const std::string& group) {
  if (!valid_server(server)) {
    std::fprintf(stderr, "kavrex-reg: bad server name: \"%s\"\n", server.c_str());
    return 2;
  }
  if (group.size() > 65 || group.find('\\') != std::string::npos) {
    std::fprintf(stderr, "kavrex-reg: bad group name: \"%s\"\n", group.c_str());
    return 2;
  }
  Setup s;
  s.server = server;
  std::string computer = kvf::computer_name();
  auto k = [&](std::vector<std::string> parts) { return reg::server_key(server, parts); };

  s.key(k({"Environment"}));
  for (const char* g : {"VLDBSA Group", "VLDBSSO Group", "VLAAO Group", "VLUSERS Group"}) {
    std::string gk = k({"Security", g});
    s.key(gk);
    s.value(gk, "Name", &group, 0);
    s.value(gk, "Domain", &computer, 0);
  }

  // The user-number table: group-writable by the DBSA group when this
  // computer has that group, so its members can register themselves.
  struct group* gr = ::getgrnam(group.c_str());
  std::string users = k({"Security", "Users"});
  std::string usernames = k({"Security", "Users", "Usernames"});
  for (const std::string& table_key : {users, usernames}) {
    if (s.key(table_key) && gr) {
      std::string dir = reg::key_dir(s.hive, table_key);
      if (::chown(dir.c_str(), static_cast<uid_t>(-1), gr->gr_gid) != 0 ||
          ::chmod(dir.c_str(), 02775) != 0)
        std::fprintf(stderr, "kavrex-reg: cannot give group %s write access to %s\n",
                     group.c_str(), table_key.c_str());
    }
  }
  s.value(users, "UIDSeed", nullptr, 0);
  if (s.status != 0) return s.status;

  struct stat st{};
  std::string dir = reg::key_dir(s.hive, users);
  bool group_writable = ::stat(dir.c_str(), &st) == 0 && (st.st_mode & S_IWGRP) && gr &&
                        st.st_gid == gr->gr_gid;
  std::printf("The registry is readable by every account.\n");
  if (group_writable)
    std::printf("Key %s may be written by root and by members of group %s:\n"
                "they register themselves on their first run.\n",
                users.c_str(), group.c_str());
  else
    std::printf("Key %s may be written by root only:\n"
                "root registers itself on its first run; list any other account with\n"
                "  kavrex-reg add \"%s\" \"%s\\NAME\" dword NUMBER\n",
                users.c_str(), usernames.c_str(), computer.c_str());
  return 0;
}

}  // namespace kavrex_reg
