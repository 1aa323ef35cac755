#include "launcher_sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

namespace calyra::launcher::testing {
namespace {

using namespace std::chrono_literals;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The second of the day in a log line's "HH:MM:SS " clock, -1 if it has none.
long clock_of(const std::string& line) {
  int hours = 0, minutes = 0, seconds = 0;
  if (line.size() < 9 || line[2] != ':' || line[5] != ':' || line[8] != ' ' ||
      std::sscanf(line.c_str(), "%2d:%2d:%2d", &hours, &minutes, &seconds) != 3 || hours > 23 || minutes > 59 ||
      seconds > 59) {
    return -1;
  }
  return (hours * 60L + minutes) * 60 + seconds;
}

constexpr auto rwxr_xr_x = static_cast<fs::perms>(0755);

// Direct children of this process; with this process as the subreaper,
// that includes every orphan the launcher left behind.
std::vector<pid_t> children() {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_file(entry.path() / "stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    fields >> state >> parent;
    if (parent == ::getpid()) found.push_back(std::stoi(name));
  }
  return found;
}

void end_all_descendants() {
  // Killing a stub's shell hands its own children to us, hence the rounds.
  for (int round = 0; round < 20; ++round) {
    const auto pids = children();
    if (pids.empty()) return;
    for (pid_t pid : pids) ::kill(pid, SIGKILL);
    for (pid_t pid : pids) ::waitpid(pid, nullptr, 0);
  }
}

}  // namespace

std::string info(const std::string& message) { return "[INFO] " + message; }
std::string error(const std::string& message) { return "[ERROR] " + message; }

bool process_exists(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

launcher_sandbox::launcher_sandbox() {
  // Programs the launcher leaves running become our children, so the
  // destructor can end them and no test leaves a process behind.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);

  std::string pattern = (fs::temp_directory_path() / "calyra-board-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = fs::canonical(pattern);
  fs::permissions(root_, rwxr_xr_x);
  fs::create_directories(dist());
  fs::create_directories(home());
  fs::copy_file(CALYRA_BOARD_PATH, launcher());
}

launcher_sandbox::~launcher_sandbox() {
  end_all_descendants();
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

fs::path launcher_sandbox::log_file(const fs::path& cache_directory) const {
  return cache_directory / "cyboard" / "log" / "launch.log";
}

void launcher_sandbox::stub(const std::string& name, const std::string& body) {
  const fs::path path = dist() / name;
  std::ofstream(path) << "#!/bin/sh\n"
                      << "note() { echo \"$*\" >> \"$CALYRA_TEST_EVENTS\"; }\n"
                      << "await() { until grep -q \"^$1\" \"$CALYRA_TEST_EVENTS\" 2>/dev/null; do sleep 0.01; done; }\n"
                      << "note \"start " << name
                      << " $$ $#:[$1] fds=$(ls /proc/self/fd | tr '\\n' ' ')cwd=$(pwd) mark=$CALYRA_TEST_MARK\"\n"
                      << body << "\n";
  fs::permissions(path, rwxr_xr_x);
}

void launcher_sandbox::standard_stubs() {
  stub("splash", "exec sleep 30");
  stub("message", "await 'start splash'; echo proceed");
  stub("error", "");
  stub("error_browser", "");
  stub("distr", "echo 'Setup done' >&2");
}

launch_outcome launcher_sandbox::run(const launch_options& options) {
  std::map<std::string, std::string> variables = {
      {"PATH", "/usr/bin:/bin"},
      {"HOME", home().string()},
      {"XDG_CACHE_HOME", cache().string()},
      {"CALYRA_TEST_EVENTS", (root_ / "events").string()},
      {"CALYRA_TEST_MARK", "inherited"},
      {"TZ", "UTC-5"},  // five hours ahead: a local clock shows in the log
  };
  for (const char* sanitizer : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(sanitizer)) variables[sanitizer] = value;
  }
  for (const auto& [name, value] : options.environment) {
    if (value) {
      variables[name] = *value;
    } else {
      variables.erase(name);
    }
  }
  std::vector<std::string> entries;
  for (const auto& [name, value] : variables) entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const std::string executable = options.executable.empty() ? launcher().string() : options.executable.string();
  std::string program = executable;
  char* argv[] = {program.data(), nullptr};
  const std::string out_path = (root_ / "out.txt").string();
  const std::string err_path = (root_ / "err.txt").string();
  const std::string in_path = (root_ / "in.txt").string();
  std::ofstream(in_path) << "from stdin\n";
  const std::string work = root_.string();

  last_run_start_ = std::time(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    // Only async-signal-safe calls from here to exec.
    const int in = ::open(in_path.c_str(), O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) _exit(126);
    ::close_range(3, ~0U, 0);
    if (::chdir(work.c_str()) != 0) _exit(126);
    ::umask(options.umask);
    if (options.open_file_limit) {
      const rlimit limit{*options.open_file_limit, *options.open_file_limit};
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
    }
    if (options.user) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(*options.user) != 0 || ::setuid(*options.user) != 0) _exit(126);
    }
    ::execve(executable.c_str(), argv, envp.data());
    _exit(127);
  }

  launch_outcome outcome;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the launcher did not end within 20 s";
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(5ms);
  }
  last_run_end_ = std::time(nullptr);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.out = read_file(out_path);
  outcome.err = read_file(err_path);
  return outcome;
}

std::vector<std::string> launcher_sandbox::log_lines(const fs::path& cache_directory) const {
  constexpr long day = 86400;
  std::vector<std::string> lines = split_lines(read_file(log_file(cache_directory)));
  for (auto& line : lines) {
    const long clock = clock_of(line);
    // Within the last run, counted from its start across midnight.
    const long since_start = ((clock - last_run_start_ % day) % day + day) % day;
    if (clock < 0 || since_start > last_run_end_ - last_run_start_) {
      ADD_FAILURE() << "log line without the UTC time of the run: " << line;
    } else {
      line.erase(0, 9);
    }
  }
  return lines;
}

std::vector<std::string> launcher_sandbox::log_after_prelude(const std::vector<std::string>& rest) const {
  std::vector<std::string> lines = {
      info("Splash command: \"" + (dist() / "splash").string() + "\""),
      info("Splash arguments: \"\""),
      info("Waiting for message from message queue..."),
  };
  lines.insert(lines.end(), rest.begin(), rest.end());
  return lines;
}

void launcher_sandbox::note(const std::string& event) { std::ofstream(root_ / "events", std::ios::app) << event << "\n"; }

std::vector<std::string> launcher_sandbox::events() const { return split_lines(read_file(root_ / "events")); }

bool launcher_sandbox::wait_for_event(const std::string& event, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    for (const auto& line : events()) {
      if (line == event) return true;
    }
    std::this_thread::sleep_for(10ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

std::map<std::string, pid_t> launcher_sandbox::started() const {
  std::map<std::string, pid_t> found;
  for (const auto& line : events()) {
    std::istringstream fields(line);
    std::string kind, name;
    pid_t pid = 0;
    if (fields >> kind >> name >> pid && kind == "start") found.emplace(name, pid);
  }
  return found;
}

std::set<std::string> launcher_sandbox::started_programs(const std::set<std::string>& expected) const {
  auto names = [this] {
    std::set<std::string> found;
    for (const auto& [name, pid] : started()) found.insert(name);
    return found;
  };
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  for (auto found = names(); !std::includes(found.begin(), found.end(), expected.begin(), expected.end()) &&
                             std::chrono::steady_clock::now() < deadline;
       found = names()) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(150ms);
  return names();
}

pid_t launcher_sandbox::pid_of(const std::string& program) const {
  const auto programs = started();
  const auto found = programs.find(program);
  return found == programs.end() ? 0 : found->second;
}

}  // namespace calyra::launcher::testing
