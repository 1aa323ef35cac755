#include "recording/csv_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace calyra::recording {
namespace {

// Shortest text that reads back as the same value.
template <class T>
void put_number(std::string& out, T value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc{}) return;
  out.append(buffer, end);
}

}  // namespace

void cut_csv_to_last_line(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info{};
  off_t end = ::fstat(fd, &info) == 0 ? info.st_size : 0;
  char buffer[4096];
  off_t keep = 0;
  while (end > 0 && keep == 0) {
    const off_t from = end > static_cast<off_t>(sizeof buffer) ? end - static_cast<off_t>(sizeof buffer) : 0;
    const ssize_t n = ::pread(fd, buffer, static_cast<std::size_t>(end - from), from);
    if (n <= 0) break;
    for (ssize_t i = n; i > 0; --i) {
      if (buffer[i - 1] == '\n') {
        keep = from + i;
        break;
      }
    }
    end = from;
  }
  if (::ftruncate(fd, keep) != 0) {
    // Nothing more can be done; the caller reports the write failure.
  }
  ::close(fd);
}

std::string csv_cell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

csv_writer::csv_writer(const std::string& path, const recording_layout& layout, double hold_seconds)
    : path_(path),
      name_(layout.file_name.empty() ? path : layout.file_name),
      layout_(layout),
      fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)),
      hold_rows_(static_cast<std::size_t>(std::ceil(hold_seconds * layout.sample_rate_hz))) {
  if (fd_ < 0) throw recording_error("cannot create CSV file " + name_ + ": " + std::strerror(errno));
  last_write_ = last_sync_ = std::chrono::steady_clock::now();
  std::string head = "sample,time,host_time_s";
  for (const signal_description& d : layout_.signals) head += ',' + csv_cell(d.label);
  head += ",STREAMING,ANNOTATION\n";
  pending_.reset(layout_.signals.size());
  put(head);
  write_out(false);
}

csv_writer::~csv_writer() {
  if (fd_ >= 0) ::close(fd_);
}

void csv_writer::fail(int error) {
  failed_ = true;
  const std::string cause = std::strerror(error);
  ::close(fd_);
  fd_ = -1;
  cut_csv_to_last_line(path_);
  char held[64];
  std::snprintf(held, sizeof held, "%.1f s", static_cast<double>(rows_written_) / layout_.sample_rate_hz);
  failure_ = "cannot write " + name_ + ": " + cause + "; the file holds whole rows up to about " + held +
             " and stays readable";
  throw recording_error(failure_);
}

void csv_writer::put(const std::string& text) { unwritten_ += text; }

// Hands the whole rows gathered so far to the file, and to the disk once a
// second (or when `sync`).
void csv_writer::write_out(bool sync) {
  if (fd_ < 0) return;
  std::size_t done = 0;
  while (done < unwritten_.size()) {
    const ssize_t n = ::write(fd_, unwritten_.data() + done, unwritten_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(n < 0 ? errno : ENOSPC);
    done += static_cast<std::size_t>(n);
  }
  unwritten_.clear();
  const auto now = std::chrono::steady_clock::now();
  last_write_ = now;
  if (sync || now - last_sync_ >= std::chrono::seconds(1)) {
    if (::fdatasync(fd_) != 0 && errno != EINVAL) fail(errno);
    last_sync_ = now;
  }
}

void csv_writer::append_row(std::size_t i, std::string& text) {
  const std::uint64_t number = pending_.sample_numbers[i];
  put_number(text, number);
  text += ',';
  put_number(text, static_cast<double>(number - first_sample_number_) / layout_.sample_rate_hz);
  text += ',';
  const std::int64_t host_ns = pending_.host_time(i);
  if (host_ns != unknown_host_time) {
    // Microseconds: far below a sample, and exact as text.
    const long long us = host_ns >= 0 ? (host_ns + 500) / 1000 : -((-host_ns + 500) / 1000);
    char cell[40];
    std::snprintf(cell, sizeof cell, "%s%lld.%06lld", us < 0 ? "-" : "", std::llabs(us) / 1000000,
                  std::llabs(us) % 1000000);
    text += cell;
  }
  for (std::size_t s = 0; s < layout_.signals.size(); ++s) {
    text += ',';
    const double v = pending_.signals[s][i];
    switch (layout_.signals[s].kind) {
      case signal_kind::contact: text += v != 0.0 ? '1' : '0'; break;
      // The accelerometer delivers single-precision values; print them so.
      case signal_kind::accelerometer: put_number(text, static_cast<float>(v)); break;
      case signal_kind::electrode: put_number(text, v); break;
    }
  }
  text += ',';
  text += pending_.streaming[i] != 0 ? '1' : '0';
  text += ',';
  // Annotations stamped before this row that found no earlier row go here too.
  std::string joined;
  auto it = annotations_.begin();
  bool first = true;
  while (it != annotations_.end() && it->first <= static_cast<std::int64_t>(number)) {
    joined += (first ? "" : " | ") + it->second;
    first = false;
    it = annotations_.erase(it);
  }
  text += csv_cell(joined);
  text += '\n';
}

void csv_writer::flush_rows(std::size_t keep) {
  const std::size_t available = pending_.size() - pending_first_;
  if (available <= keep) return;
  const std::size_t until = pending_.size() - keep;
  std::string text;
  for (std::size_t i = pending_first_; i < until; ++i) append_row(i, text);
  put(text);
  rows_written_ += until - pending_first_;
  pending_first_ = until;
  // Drop written rows once they make up most of the buffer.
  if (pending_first_ > hold_rows_ + 1024) {
    sample_block rest;
    rest.reset(layout_.signals.size());
    rest.append(pending_, pending_first_, pending_.size() - pending_first_);
    pending_ = std::move(rest);
    pending_first_ = 0;
  }
}

void csv_writer::write(const sample_block& block) {
  if (failed_ || block.empty()) return;
  if (!have_origin_) {
    have_origin_ = true;
    first_sample_number_ = block.sample_numbers.front();
  }
  pending_.append(block, 0, block.size());
  flush_rows(hold_rows_);
  if (std::chrono::steady_clock::now() - last_write_ >= std::chrono::milliseconds(400)) write_out(false);
}

void csv_writer::annotate(std::int64_t sample, const std::string& text) {
  annotations_.emplace(sample, text);
}

void csv_writer::close() {
  if (failed_) throw recording_error(failure_);
  if (fd_ < 0) return;
  // Annotations after the last sample belong to the last row.
  if (pending_.size() > pending_first_) {
    const std::uint64_t last = pending_.sample_numbers.back();
    std::multimap<std::int64_t, std::string> clamped;
    for (auto& [sample, text] : annotations_) {
      clamped.emplace(std::min<std::int64_t>(sample, static_cast<std::int64_t>(last)), std::move(text));
    }
    annotations_ = std::move(clamped);
  }
  flush_rows(0);
  write_out(true);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    const int error = errno;
    cut_csv_to_last_line(path_);
    failed_ = true;
    failure_ = "cannot finish " + name_ + ": " + std::strerror(error);
    throw recording_error(failure_);
  }
}

}  // namespace calyra::recording
