// Runs the built calyra program in the background, for tests that talk to
// it while it streams (its live view). Output goes to files.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace calyra::test {

class background_calyra {
 public:
  // Starts `program args...` with `env` added to ours (backend and devices
  // only from `env`), standard output and error into `dir`/calyra.out and
  // .err, standard input from /dev/null.
  background_calyra(const std::string& program, const std::vector<std::string>& args,
                    const std::vector<std::pair<std::string, std::string>>& env, const std::string& dir);
  ~background_calyra();  // kills it if it still runs

  // The address the view printed ("" if none within `timeout_seconds`).
  std::string wait_for_url(double timeout_seconds);
  // Ctrl-C.
  void interrupt();
  // Exit status (128 + signal when killed), -1 after `timeout_seconds`.
  int wait(double timeout_seconds);

  pid_t pid() const { return pid_; }
  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  std::string out_path_, err_path_;
};

}  // namespace calyra::test
