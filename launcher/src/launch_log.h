// The launch log: "cyboard/log/launch.log" under the user cache directory,
// one "HH:MM:SS [LEVEL] message" line (UTC) per entry.
#pragma once

#include <filesystem>
#include <mutex>
#include <string_view>

#include "unique_fd.h"

namespace calyra::launcher {

// Creates the log folder (missing parents included, mode 0777 before the
// umask) and creates or empties "launch.log" in it (mode 0666 before the
// umask), so every run starts a new log. The descriptor is close-on-exec.
// Throws fatal_error("Failed to create log directory: ...") or
// fatal_error("Failed to create log file: ...").
unique_fd create_launch_log_file(const std::filesystem::path& cache_directory);

// Writes INFO and ERROR lines from any thread; each line goes out whole in
// one write under the mutex. Write failures are ignored: there is nowhere
// left to report them.
class launch_log {
 public:
  explicit launch_log(unique_fd file) : file_(std::move(file)) {}

  void info(std::string_view message) { write_line("INFO", message); }
  void error(std::string_view message) { write_line("ERROR", message); }

 private:
  void write_line(std::string_view level, std::string_view message);

  std::mutex mutex_;
  unique_fd file_;
};

}  // namespace calyra::launcher
