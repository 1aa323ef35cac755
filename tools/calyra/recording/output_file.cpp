#include "recording/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "recording/recording_writer.h"

namespace calyra::recording {
namespace {

std::string without_extension(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const auto dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

int create_locked(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace

std::string events_path_for(const std::string& recording_path) {
  return without_extension(recording_path) + "_events.tsv";
}

std::string json_path_for(const std::string& recording_path) {
  return without_extension(recording_path) + ".json";
}

output_file::output_file(std::string final_path, bool overwrite)
    : final_(std::move(final_path)), temporary_(final_ + ".part"), overwrite_(overwrite) {
  struct stat info{};
  if (stat(final_.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) throw recording_error("cannot write " + final_ + ": it is a directory");
    if (!overwrite_) {
      throw recording_error(final_ + " already exists (give --overwrite to replace it)");
    }
  }
  lock_fd_ = create_locked(temporary_);
  if (lock_fd_ < 0 && errno == EEXIST) {
    // Either a run in progress (it holds the lock) or one that crashed.
    const int existing = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
    const bool busy = existing >= 0 && ::flock(existing, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (existing >= 0) ::close(existing);
    if (busy) throw recording_error("another calyra is recording to " + final_);
    if (!overwrite_) {
      throw recording_error(temporary_ + " is left from an earlier run that did not finish; `calyra "
                            "recover " + temporary_ + "` makes it readable, or --overwrite replaces it");
    }
    ::unlink(temporary_.c_str());
    lock_fd_ = create_locked(temporary_);
  }
  if (lock_fd_ < 0) throw recording_error("cannot write " + final_ + ": " + std::strerror(errno));
}

output_file::~output_file() {
  if (!committed_) ::unlink(temporary_.c_str());
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

void replace_contents(const std::string& path, const std::string& text, const std::string& name) {
  const std::string next = path + ".new";
  const int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 && errno == 0) errno = ENOSPC;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fdatasync(fd) == 0;
  const int saved = errno;
  if (fd >= 0) ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(next.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(next.c_str());
    throw recording_error("cannot write " + name + ": " + std::strerror(saved != 0 ? saved : errno));
  }
}

void output_file::replace_temporary(const std::string& text) {
  replace_contents(temporary_, text, final_);
  // The rename left the lock on the replaced file: the new one is locked in
  // its place, so that another run still finds this one writing.
  const int fd = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    if (lock_fd_ >= 0) ::close(lock_fd_);
    lock_fd_ = fd;
  } else if (fd >= 0) {
    ::close(fd);
  }
}

void output_file::commit() {
  const unsigned flags = overwrite_ ? 0U : RENAME_NOREPLACE;
  int result = ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, final_.c_str(), flags);
  if (result != 0 && errno == EINVAL && !overwrite_) {
    // A file system without RENAME_NOREPLACE: link() refuses an existing name too.
    result = ::link(temporary_.c_str(), final_.c_str());
    if (result == 0) ::unlink(temporary_.c_str());
  }
  if (result != 0) {
    const int saved = errno;
    committed_ = true;  // keep the temporary file: it holds the recording
    if (saved == EEXIST) {
      throw recording_error(final_ + " appeared while recording; the recording stays in " +
                            temporary_);
    }
    throw recording_error("cannot rename " + temporary_ + " to " + final_ + ": " +
                          std::strerror(saved) + "; the recording stays there");
  }
  committed_ = true;
}

}  // namespace calyra::recording
