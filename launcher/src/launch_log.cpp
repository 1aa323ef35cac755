#include "launch_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <system_error>

#include "fatal_error.h"
#include "text.h"

namespace calyra::launcher {
namespace fs = std::filesystem;

unique_fd create_launch_log_file(const fs::path& cache_directory) {
  const fs::path folder = cache_directory / "cyboard" / "log";
  std::error_code error;
  // create_directories asks for mode 0777 for every folder it makes.
  fs::create_directories(folder, error);
  if (error) throw fatal_error("Failed to create log directory", error);

  const fs::path file = folder / "launch.log";
  unique_fd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) throw fatal_error("Failed to create log file", last_os_error());
  return fd;
}

void launch_log::write_line(std::string_view level, std::string_view message) {
  std::lock_guard lock(mutex_);

  // The time is taken under the lock so that the lines are in time order.
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char clock[16];
  std::strftime(clock, sizeof clock, "%H:%M:%S", &utc);

  std::string line;
  line.reserve(message.size() + 32);
  line.append(clock).append(" [").append(level).append("] ").append(message).append("\n");

  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written = ::write(file_.get(), rest.data(), rest.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace calyra::launcher
