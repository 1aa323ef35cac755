#include "launch_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "fatal_error.h"
#include "text.h"

namespace calyra::launcher {
namespace fs = std::filesystem;

namespace {

std::optional<fs::path> home_from_user_database() {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  int result = 0;
  while ((result = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (result != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
    return std::nullopt;
  }
  return fs::path(found->pw_dir);
}

std::optional<fs::path> home_directory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return fs::path(home);
  return home_from_user_database();
}

std::string program_path(const fs::path& folder, const char* relative) {
  std::string path = (folder / relative).string();
  if (!is_valid_utf8(path)) {
    throw fatal_error("Program path is not valid UTF-8: " + debug_quoted(path));
  }
  return path;
}

}  // namespace

fs::path own_executable_path() {
  std::error_code error;
  fs::path path = fs::read_symlink("/proc/self/exe", error);
  if (error) throw fatal_error("Failed to get current executable path", error);
  return path;
}

std::optional<fs::path> user_cache_directory() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && fs::path(xdg).is_absolute()) return fs::path(xdg);
  if (auto home = home_directory()) return *home / ".cache";
  return std::nullopt;
}

program_paths locate_programs(const fs::path& executable) {
  const fs::path folder = executable.parent_path();
  if (folder.empty()) {
    throw fatal_error("Launcher folder not found for " + debug_quoted(executable.string()));
  }
  return {
      .splash = program_path(folder, "dist/splash"),
      .message = program_path(folder, "dist/message"),
      .error = program_path(folder, "dist/error"),
      .application = program_path(folder, "dist/distr"),
      .error_browser = program_path(folder, "dist/error_browser"),
  };
}

}  // namespace calyra::launcher
