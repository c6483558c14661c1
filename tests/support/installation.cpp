// installation.cpp -- setting up a test installation with kavrex-reg and the
// catalogues from the build tree.
#include "support/installation.h"

#include <filesystem>
#include <stdexcept>

#include <sys/stat.h>

#include "startup/host.h"

namespace test {

const char* const kUsageText =
    "usage: kavrex {on|off|empty}\n"
    "usage: kavrex [-t] {view|fview|info} [shfile]\n"
    "             where shfile is a dumpfile of shared mem\n"
    "             use -t to tail output as it is generated\n"
    "       kavrex [-t] {rview|frview} [shfile]\n"
    "             view in dorvel compatible format\n"
    "       kavrex size rrr\n"
    "             where rrr is the desired # of records\n"
    "       kavrex session [ggg.lll]\n"
    "             where ggg is cosrvr part, lll is id \n"
    "             missing ggg.lll deactivates filter\n"
    "       kavrex level [-c comp list] [-f feat list]\n"
    "             where level is off, lite, med, or heavy\n"
    "       kavrex -V\n"
    "             print version number and exit\n";

Installation::Installation(std::string server) : server_(std::move(server)) {
  namespace fs = std::filesystem;
  // Readable by every account, as an installation is.
  ::chmod(dir_.path().c_str(), 0755);
  fs::create_directories(dir_.file("home"));
  fs::copy(std::string(KAVREX_BIN_DIR) + "/../msg", dir_.file("msg"), fs::copy_options::recursive);
  RunResult setup = test::run({program("kavrex-reg"), "setup", server_}, options());
  if (setup.status != 0) throw std::runtime_error("kavrex-reg setup failed: " + setup.err);
  // Only the catalogue files, not the build's CMake bookkeeping.
  for (const auto& entry : fs::recursive_directory_iterator(dir_.file("msg")))
    if (entry.is_regular_file() && entry.path().extension() != ".vem") fs::remove(entry.path());
}

RunOptions Installation::options() const {
  RunOptions o;
  o.env["VELMORANDIR"] = dir_.path();
  o.env["VELMORANSERVER"] = server_;
  o.env["HOME"] = dir_.file("home");
  for (const char* v : {"DBLANG", "CLIENT_LOCALE", "DB_LOCALE", "DBNLS", "LANG", "LC_ALL", "LC_COLLATE",
                        "LC_CTYPE", "LC_MONETARY", "LC_NUMERIC", "LC_TIME", "ENVIGNORE", "VLM_FREE_FD",
                        "GL_USEGLU"})
    o.env[v] = std::nullopt;
  return o;
}

RunResult Installation::run(const std::string& name, const std::vector<std::string>& args, RunOptions extra) const {
  RunOptions o = options();
  for (auto& [k, v] : extra.env) o.env[k] = v;
  o.input = extra.input;
  o.input_file = extra.input_file;
  o.timeout = extra.timeout;
  return run_program(name, args, o);
}

RunResult Installation::kavrex_as_nobody(const std::vector<std::string>& args) const {
  return test::run(kavrex_as_nobody_argv(args), nobody_options());
}

std::vector<std::string> Installation::kavrex_as_nobody_argv(const std::vector<std::string>& args) const {
  // The build tree may lie below a directory other accounts cannot enter:
  // run a copy from the installation, which every account can read.
  namespace fs = std::filesystem;
  std::string copy = dir_.file("bin/kavrex");
  if (!fs::exists(copy)) {
    fs::create_directories(dir_.file("bin"));
    fs::copy_file(program("kavrex"), copy);
    fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  }
  std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", copy};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

RunOptions Installation::nobody_options() const {
  RunOptions o = options();
  o.env["HOME"] = "/nonexistent";
  return o;
}

void Installation::register_nobody(int number) const {
  std::string key = "SOFTWARE\\Velmoran\\Corvane\\" + server_ + "\\Security\\Users\\Usernames";
  RunResult r = test::run({program("kavrex-reg"), "add", key, kvf::computer_name() + "\\nobody", "dword",
                     std::to_string(number)},
                    options());
  if (r.status != 0) throw std::runtime_error("kavrex-reg add failed: " + r.err);
}

std::unique_ptr<Child> Installation::start_sim(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{program("kavrex-sim"), "--server", server_, "--dir", dir_.path()};
  argv.insert(argv.end(), args.begin(), args.end());
  auto child = std::make_unique<Child>(argv, options());
  if (!child->wait_for_output("kavrex-sim: ready\n"))
    throw std::runtime_error("kavrex-sim did not start: " + child->err() + child->out());
  return child;
}

}  // namespace test
