// server_keys.cpp -- creates a server's registry keys and values where they
// are missing, and lets the DBSA group write the user-number table so that
// its members register themselves on their first run.
#include "tools/server_keys.h"

#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>

#include "platform/files.h"
#include "startup/host.h"
#include "startup/registry.h"

namespace kvf {
namespace {

struct Installer {
  reg::Hive hive = reg::local_hive();
  ServerKeysResult& result;
  bool failed = false;

  // Creates the key unless it exists; true when it was created here.
  bool key(const std::string& k) {
    if (failed) return false;
    bool created = false;
    if (int rc = reg::create_key(hive, k, &created, 0755); rc != 0) {
      fail("cannot create key " + k, rc);
      return false;
    }
    if (created) result.report += "created key " + k + "\n";
    return created;
  }

  // Writes the value unless the key already has one of that name.
  void value(const std::string& k, const std::string& name, const std::string* text,
             std::uint32_t number) {
    if (failed) return;
    reg::ValueType type;
    std::string data;
    if (reg::query_value(hive, k, name, type, data) == 0) return;
    int rc = text ? reg::write_string(hive, k, name, *text) : reg::write_dword(hive, k, name, number);
    if (rc != 0) {
      fail("cannot write value " + name + " of " + k, rc);
      return;
    }
    result.report += "created value " + k + "\\" + name + " = " +
                     (text ? "\"" + *text + "\"" : std::to_string(number)) + "\n";
  }

  void fail(const std::string& what, int code) {
    failed = true;
    result.error = what + " (error " + std::to_string(code) + ")";
  }
};

bool valid_server(const std::string& s) {
  return !s.empty() && s.size() <= 128 && s.find_first_of("\\/") == std::string::npos &&
         s != "." && s != "..";
}

}  // namespace

int install_server_keys(const std::string& server, const std::string& group,
                        ServerKeysResult& result) {
  result = ServerKeysResult{};
  if (!valid_server(server)) {
    result.error = "bad server name: \"" + server + "\"";
    return 2;
  }
  if (group.empty() || group.size() > 65 || group.find('\\') != std::string::npos) {
    result.error = "bad group name: \"" + group + "\"";
    return 2;
  }
  Installer in{reg::local_hive(), result};
  std::string computer = computer_name();
  auto k = [&](std::vector<std::string> parts) { return reg::server_key(server, parts); };

  in.key(k({"Environment"}));
  for (const char* g : {"VLDBSA Group", "VLDBSSO Group", "VLAAO Group", "VLUSERS Group"}) {
    std::string gk = k({"Security", g});
    in.key(gk);
    in.value(gk, "Name", &group, 0);
    in.value(gk, "Domain", &computer, 0);
  }

  struct group* gr = ::getgrnam(group.c_str());
  std::string users = k({"Security", "Users"});
  std::string usernames = k({"Security", "Users", "Usernames"});
  for (const std::string& table_key : {users, usernames}) {
    if (in.key(table_key) && gr) {
      std::string dir = reg::key_dir(in.hive, table_key);
      if (sys::change_owner(dir.c_str(), static_cast<uid_t>(-1), gr->gr_gid) != 0 ||
          sys::change_mode(dir.c_str(), 02775) != 0)
        result.report += "could not give group " + group + " write access to " + table_key + "\n";
    }
  }
  in.value(users, "UIDSeed", nullptr, 0);
  if (in.failed) return 1;

  struct stat st{};
  std::string dir = reg::key_dir(in.hive, users);
  bool group_writable = gr && sys::status(dir.c_str(), st) == 0 && (st.st_mode & S_IWGRP) &&
                        st.st_gid == gr->gr_gid;
  result.report += "The registry is readable by every account.\n";
  if (group_writable)
    result.report += "Key " + users + " may be written by root and by members of group " + group +
                     ":\nthey register themselves on their first run.\n";
  else
    result.report += "Key " + users +
                     " may be written by root only:\n"
                     "root registers itself on its first run; list any other account with\n"
                     "  kavrex-reg add \"" + usernames + "\" \"" + computer + "\\NAME\" dword NUMBER\n";
  return 0;
}

}  // namespace kvf
