// process.cpp -- fork/exec with output files for the tests' program runs.
#include "support/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace test {
namespace {

std::vector<std::string> child_environment(const RunOptions& options) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    auto eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [name, value] : options.env) {
    if (value) vars[name] = *value;
    else vars.erase(name);
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

// Runs in the child after fork: never returns.
[[noreturn]] void exec_child(const std::vector<std::string>& argv,
                             const std::vector<std::string>& envs, pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  // Tests may have blocked or ignored signals; the program starts clean.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int s = 1; s < 32; ++s) signal(s, SIG_DFL);
  std::vector<char*> args, env;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : envs) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  execve(args[0], args.data(), env.data());
  _exit(127);
}

int decode_status(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

std::string program(const std::string& name) { return std::string(KAVREX_BIN_DIR) + "/" + name; }

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
  // A run is a Child waited for; its input goes through a file.
  RunOptions o = options;
  std::optional<TempDir> input;
  if (o.input_file.empty() && !o.input.empty()) {
    input.emplace();
    o.input_file = input->file("input");
    write_file(o.input_file, o.input);
  }
  Child child(argv, o);
  RunResult result;
  result.status = child.wait(o.timeout);
  if (result.status == -1) {
    result.timed_out = true;
    child.signal(SIGKILL);
    result.status = child.wait();
  }
  result.out = child.out();
  result.err = child.err();
  return result;
}

RunResult run_program(const std::string& name, const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv{program(name)};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, options);
}

Child::Child(const std::vector<std::string>& argv, const RunOptions& options) {
  char tmpl[] = "/tmp/kavrex-child-XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0) throw std::runtime_error("mkstemp");
  close(fd);
  out_path_ = tmpl;
  err_path_ = out_path_ + ".err";
  auto envs = child_environment(options);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    int o = open(out_path_.c_str(), O_WRONLY | O_TRUNC);
    int e = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int i = open(options.input_file.empty() ? "/dev/null" : options.input_file.c_str(), O_RDONLY);
    if (o < 0 || e < 0 || i < 0) _exit(127);
    dup2(i, 0);
    dup2(o, 1);
    dup2(e, 2);
    exec_child(argv, envs, parent);
  }
}

Child::~Child() {
  // Asked to end first, so that a server child removes what it made; killed
  // only if it does not end in time.
  if (running()) {
    kill(pid_, SIGTERM);
    if (wait(std::chrono::seconds(5)) < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  unlink(out_path_.c_str());
  unlink(err_path_.c_str());
}

std::string Child::out() const { return read_file(out_path_); }
std::string Child::err() const { return read_file(err_path_); }

bool Child::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const {
  return eventually([&] { return out().find(text) != std::string::npos; }, timeout);
}

void Child::signal(int sig) {
  if (!reaped_) kill(pid_, sig);
}

bool Child::running() {
  if (reaped_) return false;
  int raw = 0;
  pid_t r = waitpid(pid_, &raw, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    status_ = decode_status(raw);
    return false;
  }
  return true;
}

int Child::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return status_;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TempDir::TempDir() {
  char tmpl[] = "/tmp/kavrex-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<int> shm_segments_created_by(pid_t creator) {
  std::vector<int> ids;
  std::ifstream in("/proc/sysvipc/shm");
  std::string line;
  std::getline(in, line);  // column names
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long key, id, perms, size, cpid;
    if (fields >> key >> id >> perms >> size >> cpid && cpid == creator)
      ids.push_back(static_cast<int>(id));
  }
  return ids;
}

}  // namespace test
