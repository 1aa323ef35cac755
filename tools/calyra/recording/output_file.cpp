#include "recording/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "recording/recording_writer.h"

namespace calyra::recording {

output_file::output_file(std::string final_path) : final_(std::move(final_path)) {
  struct stat info{};
  if (stat(final_.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    throw recording_error("cannot write " + final_ + ": it is a directory");
  }
  temporary_ = final_ + ".part";
  const int fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw recording_error("cannot write " + final_ + ": " + std::strerror(errno));
  }
  ::close(fd);
}

output_file::~output_file() {
  if (!committed_) ::unlink(temporary_.c_str());
}

void output_file::commit() {
  if (std::rename(temporary_.c_str(), final_.c_str()) != 0) {
    throw recording_error("cannot rename " + temporary_ + " to " + final_ + ": " +
                          std::strerror(errno));
  }
  committed_ = true;
}

}  // namespace calyra::recording
