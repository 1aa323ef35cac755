#include "recording/events.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "recording/output_file.h"
#include "recording/recording_writer.h"

namespace calyra::recording {
namespace {

constexpr const char* replacement = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 character at the start of `s`, 0 if none.
std::size_t character_length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) return 1;
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) low = 0xA0;   // no overlong forms
    if (b0 == 0xED) high = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < n || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if ((byte(i) & 0xC0U) != 0x80U) return 0;
  }
  return n;
}

}  // namespace

std::string clean_annotation_text(std::string_view raw, bool& changed) {
  changed = false;
  std::string out;
  out.reserve(raw.size());
  while (!raw.empty()) {
    const std::size_t n = character_length(raw);
    if (n == 0) {
      out += replacement;
      changed = true;
      raw.remove_prefix(1);
      continue;
    }
    const auto c = static_cast<unsigned char>(raw[0]);
    if (n == 1 && (c < 0x20 || c == 0x7F)) {
      out += ' ';
      changed = true;
    } else {
      out.append(raw.substr(0, n));
    }
    raw.remove_prefix(n);
  }
  return out;
}

std::string events_line(const recording_event& e, unsigned rate_hz) {
  const double rate = rate_hz;
  char numbers[96];
  if (e.duration < 0) {
    std::snprintf(numbers, sizeof numbers, "%.6f\tn/a\t%lld\t", static_cast<double>(e.position) / rate,
                  static_cast<long long>(e.position));
  } else {
    std::snprintf(numbers, sizeof numbers, "%.6f\t%.6f\t%lld\t", static_cast<double>(e.position) / rate,
                  static_cast<double>(e.duration) / rate, static_cast<long long>(e.position));
  }
  bool changed = false;
  const std::string source = e.source.empty() ? "n/a" : clean_annotation_text(e.source, changed);
  return numbers + e.text + '\t' + source + '\n';
}

void write_events_tsv(const std::string& path, const std::vector<recording_event>& events,
                      unsigned rate_hz, const std::string& name) {
  std::string table = events_header;
  for (const recording_event& e : events) table += events_line(e, rate_hz);
  replace_contents(path, table, name);
}

events_log::events_log(std::string path, unsigned rate_hz, std::string name)
    : path_(std::move(path)), rate_hz_(rate_hz), name_(std::move(name)) {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  const std::string header = events_header;
  if (fd_ < 0 || ::write(fd_, header.data(), header.size()) != static_cast<ssize_t>(header.size())) {
    throw recording_error("cannot write " + name_ + ": " + std::strerror(errno));
  }
}

events_log::~events_log() {
  if (fd_ >= 0) ::close(fd_);
}

void events_log::append(const recording_event& event) {
  if (fd_ < 0) return;
  // One write per line: a line is in the file whole or not at all.
  const std::string line = events_line(event, rate_hz_);
  if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    ::close(fd_);
    fd_ = -1;
  }
}

void events_log::finish(const std::vector<recording_event>& all) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  write_events_tsv(path_, all, rate_hz_, name_);
}

}  // namespace calyra::recording
