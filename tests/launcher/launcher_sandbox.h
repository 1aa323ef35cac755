// A temporary copy of the built launcher whose "dist" folder holds small
// shell-script stand-ins for the desktop application's programs. Every stub
// appends "start <name> <pid> <argc>:[<first argument>] fds=<open fds>
// cwd=<dir> mark=<$CALYRA_TEST_MARK>" to the events file when it starts;
// its body may add lines of its own with `note`, and `await <prefix>` waits
// until a line of the events file begins with <prefix>.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace calyra::launcher::testing {

namespace fs = std::filesystem;

struct launch_options {
  // Changes to the launcher's environment; nullopt removes a variable.
  std::map<std::string, std::optional<std::string>> environment;
  fs::path executable;                  // default: the copied launcher
  mode_t umask = 022;
  std::optional<rlim_t> open_file_limit;
  std::optional<uid_t> user;            // run as this user and group (needs root)
};

struct launch_outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // the launcher's standard output and error (shared with
  std::string err;  // the programs that inherit them)
};

class launcher_sandbox {
 public:
  launcher_sandbox();
  ~launcher_sandbox();
  launcher_sandbox(const launcher_sandbox&) = delete;
  launcher_sandbox& operator=(const launcher_sandbox&) = delete;

  fs::path root() const { return root_; }
  fs::path launcher() const { return root_ / "bin" / "CalyraBoard"; }
  fs::path dist() const { return root_ / "bin" / "dist"; }
  fs::path cache() const { return root_ / "cache"; }  // XDG_CACHE_HOME by default
  fs::path home() const { return root_ / "home"; }    // HOME by default
  fs::path log_file(const fs::path& cache_directory) const;

  // dist/<name>: records its start, then runs `body` (sh).
  void stub(const std::string& name, const std::string& body);
  // All five programs: the message step says "proceed" once the splash has
  // started, the application ends its set-up at once, the splash stays up
  // for 30 s.
  void standard_stubs();

  launch_outcome run(const launch_options& options = {});

  // The log of a run up to the message step, followed by `rest`.
  std::vector<std::string> log_after_prelude(const std::vector<std::string>& rest) const;

  // The launch log's lines with the "HH:MM:SS " clock stripped; a line
  // whose clock is not the UTC time of the last run fails the test.
  std::vector<std::string> log_lines() const { return log_lines(cache()); }
  std::vector<std::string> log_lines(const fs::path& cache_directory) const;

  void note(const std::string& event);
  std::vector<std::string> events() const;
  // Waits until `event` has been noted, for at most `timeout`.
  bool wait_for_event(const std::string& event,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  // The names of the programs started so far, once those in `expected` have
  // all started and a short settling time has passed (so that a program
  // started after the launcher ended is not missed).
  std::set<std::string> started_programs(const std::set<std::string>& expected) const;
  // The pid of a started program, 0 when it has not started.
  pid_t pid_of(const std::string& program) const;

 private:
  std::map<std::string, pid_t> started() const;

  fs::path root_;
  std::time_t last_run_start_ = 0;
  std::time_t last_run_end_ = 0;
};

// "[INFO] <message>" and "[ERROR] <message>", as log_lines() returns them.
std::string info(const std::string& message);
std::string error(const std::string& message);

// True while `pid` exists, zombies included.
bool process_exists(pid_t pid);

}  // namespace calyra::launcher::testing
