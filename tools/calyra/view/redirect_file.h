// A private page that carries the browser on to the view's address, token
// included. `--open` hands the browser this file rather than the address:
// a program's arguments are readable by every local user (in /proc), a file
// of mode 0600 only by its owner.
#pragma once

#include <string>

namespace calyra::view {

class redirect_file {
 public:
  // Writes the page (mode 0600) into $XDG_RUNTIME_DIR when that is a private
  // folder of ours, else into a new private folder in the temporary folder.
  // Throws std::runtime_error when neither can be written.
  explicit redirect_file(const std::string& url);
  ~redirect_file();  // removes it (and the folder it made)

  redirect_file(const redirect_file&) = delete;
  redirect_file& operator=(const redirect_file&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string own_folder_;  // "" when in $XDG_RUNTIME_DIR
};

}  // namespace calyra::view
