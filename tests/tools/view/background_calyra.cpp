#include "background_calyra.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace calyra::test {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

background_calyra::background_calyra(const std::string& program, const std::vector<std::string>& args,
                                     const std::vector<std::pair<std::string, std::string>>& env,
                                     const std::string& dir)
    : out_path_(dir + "/calyra.out"), err_path_(dir + "/calyra.err") {
  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('='));
    bool ours = key == "CYCORE_BLE_BACKEND" || key == "CYCORE_VIRTUAL_DEVICES";
    for (const auto& [k, v] : env) ours = ours || k == key;
    if (!ours) env_text.push_back(entry);
  }
  for (const auto& [k, v] : env) env_text.push_back(k + "=" + v);
  std::vector<char*> argv, envp;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || out < 0 || err < 0) throw std::runtime_error("cannot open the program's files in " + dir);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in);
  close(out);
  close(err);
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

background_calyra::~background_calyra() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::string background_calyra::wait_for_url(double timeout_seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
  while (std::chrono::steady_clock::now() < until) {
    const std::string text = out();
    const std::size_t at = text.find("Live view: ");
    const std::size_t end = at == std::string::npos ? at : text.find('\n', at);
    if (end != std::string::npos) return text.substr(at + 11, end - at - 11);
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return "";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return "";
}

void background_calyra::interrupt() {
  if (pid_ > 0) kill(pid_, SIGINT);
}

int background_calyra::wait(double timeout_seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
  while (pid_ > 0) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() > until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

std::string background_calyra::out() const { return read_file(out_path_); }
std::string background_calyra::err() const { return read_file(err_path_); }

}  // namespace calyra::test
