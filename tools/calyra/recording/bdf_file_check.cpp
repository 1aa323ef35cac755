#include "recording/bdf_file_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace calyra::recording {
namespace {

constexpr std::int64_t fixed_header_bytes = 256;
constexpr std::int64_t bytes_per_signal_header = 256;
constexpr std::int64_t bytes_per_sample = 3;  // BDF: 24-bit samples

struct closer {
  int fd;
  ~closer() {
    if (fd >= 0) ::close(fd);
  }
};

bool read_at(int fd, std::int64_t offset, std::size_t size, std::string& out) {
  out.assign(size, '\0');
  return ::pread(fd, out.data(), size, offset) == static_cast<ssize_t>(size);
}

// An ASCII integer field, blank padded; nullopt if it is not one.
std::optional<std::int64_t> number_field(std::string_view field) {
  while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
  while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
  if (field.empty()) return std::nullopt;
  std::string text(field);
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<bdf_file_state> inspect_bdf_file(const std::string& path) {
  closer fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (fd.fd < 0) return std::nullopt;
  struct stat info{};
  if (::fstat(fd.fd, &info) != 0) return std::nullopt;
  std::string fixed;
  if (!read_at(fd.fd, 0, fixed_header_bytes, fixed)) return std::nullopt;
  const auto header_bytes = number_field(std::string_view(fixed).substr(184, 8));
  const auto records = number_field(std::string_view(fixed).substr(236, 8));
  const auto signals = number_field(std::string_view(fixed).substr(252, 4));
  if (!header_bytes || !records || !signals || *signals <= 0 ||
      *header_bytes != fixed_header_bytes + *signals * bytes_per_signal_header) {
    return std::nullopt;
  }
  // Samples per data record: 8 characters per signal after the other
  // per-signal fields (label 16, transducer 80, dimension 8, four limits of
  // 8, prefilter 80 = 216 characters per signal).
  std::string counts;
  if (!read_at(fd.fd, fixed_header_bytes + *signals * 216, static_cast<std::size_t>(*signals * 8), counts)) {
    return std::nullopt;
  }
  bdf_file_state state;
  for (std::int64_t s = 0; s < *signals; ++s) {
    const auto n = number_field(std::string_view(counts).substr(static_cast<std::size_t>(s * 8), 8));
    if (!n || *n <= 0) return std::nullopt;
    state.record_bytes += *n * bytes_per_sample;
    if (s == 0) state.first_signal_samples = *n;
    state.last_signal_bytes = *n * bytes_per_sample;
  }
  state.record_seconds = std::strtod(fixed.substr(244, 8).c_str(), nullptr);
  state.header_bytes = *header_bytes;
  state.records_in_header = *records;
  state.file_bytes = info.st_size;
  state.complete_records =
      info.st_size >= *header_bytes ? (info.st_size - *header_bytes) / state.record_bytes : 0;
  return state;
}

bool truncate_bdf_file(const std::string& path, const bdf_file_state& state, std::int64_t records) {
  if (records < 0 || records > state.complete_records) return false;
  closer fd{::open(path.c_str(), O_WRONLY | O_CLOEXEC)};
  if (fd.fd < 0) return false;
  if (::ftruncate(fd.fd, state.header_bytes + records * state.record_bytes) != 0) return false;
  char field[24];
  std::snprintf(field, sizeof field, "%-8lld", static_cast<long long>(records));
  // Rewriting bytes inside the file needs no new space.
  return ::pwrite(fd.fd, field, 8, 236) == 8 && ::fsync(fd.fd) == 0;
}

}  // namespace calyra::recording
