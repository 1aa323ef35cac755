#include "view/redirect_file.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace calyra::view {
namespace {

bool private_folder(const char* dir) {
  struct stat st{};
  return dir != nullptr && *dir == '/' && stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
         (st.st_mode & 077) == 0;
}

std::string html_escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

redirect_file::redirect_file(const std::string& url) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string folder;
  if (private_folder(runtime)) {
    folder = runtime;
  } else {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/calyra-view-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a private folder for the view's address");
    folder = own_folder_ = pattern;
  }
  std::string name = folder + "/calyra-view-XXXXXX.html";
  const int fd = mkstemps(name.data(), 5);  // mode 0600
  if (fd < 0) {
    if (!own_folder_.empty()) rmdir(own_folder_.c_str());
    throw std::runtime_error("cannot write the view's address into " + folder);
  }
  path_ = name;
  const std::string u = html_escaped(url);
  const std::string page = "<!doctype html>\n<meta charset=\"utf-8\">\n<meta name=\"referrer\" content=\"no-referrer\">\n"
                           "<meta http-equiv=\"refresh\" content=\"0;url=" + u + "\">\n<title>calyra view</title>\n"
                           "<p><a href=\"" + u + "\">Open the live view</a></p>\n";
  const bool written = write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
  close(fd);
  if (!written) {
    unlink(path_.c_str());
    if (!own_folder_.empty()) rmdir(own_folder_.c_str());
    throw std::runtime_error("cannot write the view's address into " + folder);
  }
}

redirect_file::~redirect_file() {
  unlink(path_.c_str());
  if (!own_folder_.empty()) rmdir(own_folder_.c_str());
}

}  // namespace calyra::view
