// Where the launcher finds its programs and writes its log.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace calyra::launcher {

// The running executable as the kernel reports it, links resolved.
// Throws fatal_error("Failed to get current executable path: ...").
std::filesystem::path own_executable_path();

// The user cache directory: XDG_CACHE_HOME when it is an absolute path,
// otherwise ".cache" under the home directory (HOME when set and non-empty,
// else the user database). nullopt when there is no home directory either.
std::optional<std::filesystem::path> user_cache_directory();

// The five programs of the desktop application, in the "dist" folder next to
// the launcher's executable.
struct program_paths {
  std::string splash;
  std::string message;
  std::string error;
  std::string application;
  std::string error_browser;
};

// Builds the program paths from the executable's path. Throws fatal_error
// when the executable has no folder or the folder is not valid UTF-8 text.
program_paths locate_programs(const std::filesystem::path& executable);

}  // namespace calyra::launcher
