#include "recording/bdf_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "recording/header_text.h"
#include "recording/output_file.h"

namespace calyra::recording {
namespace {

constexpr int bdf_digital_max = 8388607;  // 24-bit, symmetric so that 0 stays 0
constexpr long long units_per_second = 10000000;  // record times: 100 ns
constexpr long long onset_units_per_second = 10000;  // annotation times: 100 us
constexpr std::int64_t record_count_offset = 236;
// The recording field (80 bytes), the start date and the start time (8 each).
constexpr std::int64_t start_fields_offset = 88;
constexpr std::size_t start_fields_bytes = 96;
// Records reach the file a few times a second; the count follows each write.
constexpr auto write_interval = std::chrono::milliseconds(400);
constexpr std::size_t records_per_write = 10;  // when data comes faster than real time
constexpr auto sync_interval = std::chrono::seconds(1);

std::string field(std::string text, std::size_t width) {
  text.resize(width, ' ');
  return text;
}

std::string ascii_field(const std::string& text, std::size_t width) {
  bool changed = false;
  return field(ascii_rendering(text, changed).substr(0, width), width);
}

// A physical limit in the 8 characters of its header field, as precise as fits.
std::string limit_text(double value) {
  for (int decimals = 6; decimals >= 0; --decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string s = text;
    if (s.find('.') != std::string::npos) {
      while (s.back() == '0') s.pop_back();
      if (s.back() == '.') s.pop_back();
    }
    if (s.size() <= 8) return s;
  }
  throw recording_error("a signal range does not fit a BDF header");
}

// "+12.5" style times: `units` of 1/`per_second` s, trailing zeros dropped.
std::string time_text(long long units, long long per_second, int digits, const char* sign) {
  char text[64];
  std::snprintf(text, sizeof text, "%s%lld.%0*lld", sign, units / per_second, digits, units % per_second);
  std::string s = text;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

// The start's offset within its second in units of 100 ns, to 100 us: the
// header holds whole seconds, the first record's time stamp the rest.
long long start_offset_of(std::chrono::system_clock::time_point start) {
  const std::time_t second = std::chrono::system_clock::to_time_t(start);
  const auto since_second =
      std::chrono::duration_cast<std::chrono::microseconds>(start - std::chrono::system_clock::from_time_t(second))
          .count();
  return std::clamp<long long>(since_second / 100, 0, 9999) * 1000;
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

}  // namespace

std::string utf8_prefix(const std::string& text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t cut = max_bytes;
  // Step back over continuation bytes (10xxxxxx) to the start of a character.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0U) == 0x80U) --cut;
  return text.substr(0, cut);
}

std::string bdf_label(const signal_description& signal) {
  switch (signal.kind) {
    case signal_kind::electrode: return utf8_prefix("EEG " + signal.label, 16);
    case signal_kind::contact:
    case signal_kind::accelerometer: return utf8_prefix("MISC " + signal.label, 16);
  }
  return utf8_prefix(signal.label, 16);
}

bdf_writer::bdf_writer(const std::string& path, const recording_layout& layout)
    : path_(path), name_(layout.file_name.empty() ? path : layout.file_name), layout_(layout) {
  const int rate = static_cast<int>(layout_.sample_rate_hz);
  if (rate <= 0 || layout_.signals.empty()) {
    throw recording_error("cannot record to " + name_ + ": no signals or no sample rate");
  }
  // Short records keep the padding of the last record small.
  const bool tenths = rate % 10 == 0;
  samples_per_record_ = tenths ? rate / 10 : rate;
  record_seconds_ = tenths ? 0.1 : 1.0;
  const std::size_t n = layout_.signals.size();
  record_.assign(n, std::vector<double>(static_cast<std::size_t>(samples_per_record_)));
  start_offset_units_ = start_offset_of(layout_.start_time);
  const std::time_t start = std::chrono::system_clock::to_time_t(layout_.start_time);
  std::tm local{};
  localtime_r(&start, &local);
  header_remarks_ = bdf_identity_fields({layout_.subject, layout_.session, layout_.note, layout_.equipment}, local,
                                        json_path_for(name_)).remarks;

  header_bytes_ = 256 * static_cast<std::int64_t>(n + 2);
  for (const signal_description& d : layout_.signals) {
    const bool flag = d.kind == signal_kind::contact;
    digital_min_.push_back(flag ? 0 : -bdf_digital_max);
    digital_max_.push_back(flag ? 1 : bdf_digital_max);
    // Scaled by the limits as written, which are what readers use.
    scale_.push_back((digital_max_.back() - digital_min_.back()) /
                     (std::strtod(limit_text(d.physical_max).c_str(), nullptr) -
                      std::strtod(limit_text(d.physical_min).c_str(), nullptr)));
    record_bytes_ += 3 * samples_per_record_;
  }
  record_bytes_ += annotation_bytes;
  const std::string fields = header();

  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) throw recording_error("cannot create BDF file " + name_ + ": " + std::strerror(errno));
  last_write_ = last_sync_ = std::chrono::steady_clock::now();
  write_at(fields, 0);
}

// The header for the layout's start time (to the second; the rest is in
// every record's time stamp) and the records written so far.
std::string bdf_writer::header() const {
  const std::size_t n = layout_.signals.size();
  const std::time_t start = std::chrono::system_clock::to_time_t(layout_.start_time);
  std::tm local{};
  localtime_r(&start, &local);
  const bdf_identity id = bdf_identity_fields({layout_.subject, layout_.session, layout_.note, layout_.equipment},
                                              local, json_path_for(name_));
  char date[32];
  char time[32];
  char count[16];
  std::snprintf(date, sizeof date, "%02d.%02d.%02d", local.tm_mday, local.tm_mon + 1, local.tm_year % 100);
  std::snprintf(time, sizeof time, "%02d.%02d.%02d", local.tm_hour, local.tm_min, local.tm_sec);
  std::snprintf(count, sizeof count, "%lld", static_cast<long long>(records_written_));
  std::string text = std::string("\xFF") + "BIOSEMI" + field(id.patient, 80) + field(id.recording, 80) + date + time +
                     field(std::to_string(header_bytes_), 8) + field("BDF+C", 44) + field(count, 8) +
                     field(record_seconds_ == 1.0 ? "1" : "0.1", 8) + field(std::to_string(n + 1), 4);
  std::string labels, units, pmins, pmaxs, dmins, dmaxs, filters, counts;
  for (std::size_t s = 0; s < n; ++s) {
    const signal_description& d = layout_.signals[s];
    labels += ascii_field(bdf_label(d), 16);
    units += ascii_field(d.unit, 8);
    pmins += field(limit_text(d.physical_min), 8);
    pmaxs += field(limit_text(d.physical_max), 8);
    dmins += field(std::to_string(digital_min_[s]), 8);
    dmaxs += field(std::to_string(digital_max_[s]), 8);
    filters += ascii_field(d.kind == signal_kind::electrode ? layout_.prefilter : "", 80);
    counts += field(std::to_string(samples_per_record_), 8);
  }
  labels += field("BDF Annotations", 16);
  units += field("", 8);
  pmins += field("-1", 8);
  pmaxs += field("1", 8);
  dmins += field("-8388608", 8);
  dmaxs += field("8388607", 8);
  filters += field("", 80);
  counts += field(std::to_string(annotation_bytes / 3), 8);
  return text + labels + std::string(80 * (n + 1), ' ') + units + pmins + pmaxs + dmins + dmaxs + filters + counts +
         std::string(32 * (n + 1), ' ');
}

void bdf_writer::set_start_time(std::chrono::system_clock::time_point first_sample) {
  // Every record already encoded carries the old start in its time stamp.
  if (failed_ || records_encoded_ > 0) return;
  layout_.start_time = first_sample;
  start_offset_units_ = start_offset_of(first_sample);
  // Only the recording field (its start date), the date and the time
  // change, and they lie together: one small positioned write, and the
  // file stays a valid recording of no records throughout.
  write_at(header().substr(start_fields_offset, start_fields_bytes), start_fields_offset);
}

bdf_writer::~bdf_writer() {
  if (fd_ >= 0) ::close(fd_);
}

void bdf_writer::fail(const std::string& cause) {
  failed_ = true;
  // The count in the header names only records that are whole in the file.
  if (::ftruncate(fd_, header_bytes_ + records_written_ * record_bytes_) != 0) {
    // The count still describes a readable prefix; nothing more to do.
  }
  failure_ = "cannot write " + name_ + ": " + cause + "; the file holds the first " +
             seconds_text(static_cast<double>(records_written_) * record_seconds_) + " and stays readable";
  throw recording_error(failure_);
}

// Writes until done or the first error (`error`, 0: none); returns the bytes written.
std::size_t bdf_writer::write_some(const std::string& bytes, std::int64_t offset, int& error) {
  std::size_t done = 0;
  error = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void bdf_writer::write_at(const std::string& bytes, std::int64_t offset) {
  int error = 0;
  write_some(bytes, offset, error);
  if (error != 0) fail(std::strerror(error));
}

void bdf_writer::checkpoint(bool sync) {
  const auto now = std::chrono::steady_clock::now();
  if (!unwritten_.empty()) {
    int error = 0;
    const std::size_t done = write_some(unwritten_, header_bytes_ + records_written_ * record_bytes_, error);
    // After a failed write the records that landed whole still count.
    records_written_ += static_cast<std::int64_t>(done) / record_bytes_;
    unwritten_.clear();
    char count[16];
    std::snprintf(count, sizeof count, "%-8lld", static_cast<long long>(records_written_));
    write_at(std::string(count, 8), record_count_offset);
    if (error != 0) fail(std::strerror(error));
    last_write_ = now;
  }
  if (sync || now - last_sync_ >= sync_interval) {
    if (::fdatasync(fd_) != 0 && errno != EINVAL) fail(std::strerror(errno));
    last_sync_ = now;
  }
}

std::string bdf_writer::timekeeping_tal(std::int64_t record) const {
  const long long units = record * std::llround(record_seconds_ * units_per_second) + start_offset_units_;
  char text[48];
  std::snprintf(text, sizeof text, "+%lld.%07lld", units / units_per_second, units % units_per_second);
  return std::string(text) + "\x14\x14" + '\0';
}

std::int64_t bdf_writer::position_of(const waiting_event& e) const {
  if (!e.stream_numbered) return e.sample;
  return std::max<std::int64_t>(e.sample - first_sample_number_, 0);
}

std::string bdf_writer::event_tal(const waiting_event& e, std::int64_t position, long long& onset) const {
  const double rate = layout_.sample_rate_hz;
  onset = std::llround(static_cast<double>(position) * onset_units_per_second / rate) + start_offset_units_ / 1000;
  // Readers sort annotations by onset; equal onsets are made distinct by
  // one unit (100 us) so that they keep the order they were placed in.
  while (onsets_used_.count(onset) > 0) ++onset;
  std::string tal = time_text(onset, onset_units_per_second, 4, "+");
  if (e.duration >= 0) {
    tal += '\x15' + time_text(std::llround(static_cast<double>(e.duration) * onset_units_per_second / rate),
                              onset_units_per_second, 4, "");
  }
  return tal + '\x14' + utf8_prefix(e.text, max_annotation_bytes) + '\x14' + '\0';
}

// Appends the TAL of `e` to `tal` when the result stays within `limit` bytes.
bool bdf_writer::try_place(std::string& tal, const waiting_event& e, std::size_t limit) {
  long long onset = 0;
  const std::string piece = event_tal(e, position_of(e), onset);
  if (tal.size() + piece.size() > limit) return false;
  onsets_used_.insert(onset);
  if (e.text.size() > max_annotation_bytes) ++shortened_;
  tal += piece;
  return true;
}

// Moves the waiting events that lie before `record_end` (a position) into
// `tal`, in the order they came, while they fit.
void bdf_writer::place_waiting(std::string& tal, std::int64_t record_end) {
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (position_of(*it) >= record_end) {
      ++it;
      continue;
    }
    if (!try_place(tal, *it, annotation_bytes)) break;
    it = waiting_.erase(it);
  }
}

void bdf_writer::encode_record() {
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(record_bytes_));
  for (std::size_t s = 0; s < record_.size(); ++s) {
    for (const double v : record_[s]) {
      const double digital = static_cast<double>(digital_min_[s]) + (v - layout_.signals[s].physical_min) * scale_[s];
      const auto d = static_cast<std::int32_t>(
          std::clamp<long long>(std::llround(digital), digital_min_[s], digital_max_[s]));
      bytes += static_cast<char>(d & 0xFF);
      bytes += static_cast<char>((d >> 8) & 0xFF);
      bytes += static_cast<char>((d >> 16) & 0xFF);
    }
  }
  std::string tal = timekeeping_tal(records_encoded_);
  place_waiting(tal, (records_encoded_ + 1) * samples_per_record_);
  tal_bytes_.push_back(static_cast<std::uint8_t>(tal.size()));
  tal.resize(static_cast<std::size_t>(annotation_bytes), '\0');
  unwritten_ += bytes + tal;
  ++records_encoded_;
  record_fill_ = 0;
}

// A run of missed samples in progress ends here: the labelled span is its own.
void bdf_writer::label_next_gap(const std::string& text) {
  end_gap();
  next_gap_text_ = text;
}

void bdf_writer::end_gap() {
  if (gap_start_ < 0) return;
  waiting_.push_back({gap_start_, false, samples_written_ - gap_start_, gap_text_});
  gap_start_ = -1;
}

void bdf_writer::write(const sample_block& block) {
  if (block.empty() || failed_) return;
  if (!have_origin_) {
    have_origin_ = true;
    first_sample_number_ = static_cast<std::int64_t>(block.sample_numbers.front());
  }
  for (std::size_t row = 0; row < block.size(); ++row) {
    if (block.streaming[row] == 0) {
      if (gap_start_ < 0) {
        gap_start_ = samples_written_;
        gap_text_ = next_gap_text_.empty() ? gap_text : next_gap_text_;
        next_gap_text_.clear();
      }
    } else {
      end_gap();
    }
    for (std::size_t s = 0; s < record_.size(); ++s) {
      const signal_description& d = layout_.signals[s];
      const double v = block.signals[s][row];
      record_[s][static_cast<std::size_t>(record_fill_)] =
          std::isfinite(v) ? std::clamp(v, d.physical_min, d.physical_max) : 0.0;
    }
    ++samples_written_;
    if (++record_fill_ == samples_per_record_) encode_record();
  }
  if (std::chrono::steady_clock::now() - last_write_ >= write_interval ||
      unwritten_.size() >= records_per_write * static_cast<std::size_t>(record_bytes_)) {
    checkpoint(false);
  }
}

void bdf_writer::annotate(std::int64_t sample, const std::string& text) {
  waiting_.push_back({sample, true, -1, text});
}

// Annotations that found no room in the record of their time go into the
// free room of the records before, from the end: a BDF+ annotation may
// stand in any record.
void bdf_writer::place_late_annotations() {
  const std::int64_t data_bytes = record_bytes_ - annotation_bytes;
  for (std::int64_t r = records_written_ - 1; r >= 0 && !waiting_.empty(); --r) {
    std::string more;
    const auto used = static_cast<std::size_t>(tal_bytes_[static_cast<std::size_t>(r)]);
    while (!waiting_.empty() && try_place(more, waiting_.front(), annotation_bytes - used)) waiting_.pop_front();
    if (more.empty()) continue;
    write_at(more, header_bytes_ + r * record_bytes_ + data_bytes + static_cast<std::int64_t>(used));
    tal_bytes_[static_cast<std::size_t>(r)] = static_cast<std::uint8_t>(used + more.size());
  }
  left_out_ = waiting_.size();
  waiting_.clear();
}

void bdf_writer::close() {
  if (fd_ < 0) return;
  if (failed_) {
    ::close(fd_);
    fd_ = -1;
    throw recording_error(failure_);
  }
  try {
    end_gap();
    const std::int64_t true_length = samples_written_;
    // Annotations stamped after the last sample belong to the last sample.
    const std::int64_t last = std::max<std::int64_t>(true_length - 1, 0);
    for (waiting_event& e : waiting_) {
      if (!e.stream_numbered) continue;
      e.sample = std::min(position_of(e), last);
      e.stream_numbered = false;
    }
    if (record_fill_ > 0) {
      // A BDF file holds whole records: repeat the last values to the end
      // and mark them, so that the recording's true end stays known.
      const std::int64_t padding = samples_per_record_ - record_fill_;
      for (std::vector<double>& signal : record_) {
        std::fill(signal.begin() + record_fill_, signal.end(), signal[static_cast<std::size_t>(record_fill_ - 1)]);
      }
      waiting_.push_back({true_length, false, padding, end_text});
      encode_record();
    }
    checkpoint(false);
    place_late_annotations();
    checkpoint(true);
  } catch (const recording_error&) {
    ::close(fd_);
    fd_ = -1;
    throw;
  }
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) throw recording_error("cannot finish the BDF file " + name_ + ": " + std::strerror(errno));
}

std::vector<std::string> bdf_writer::remarks() const {
  std::vector<std::string> lines = header_remarks_;
  if (shortened_ > 0) {
    lines.push_back(std::to_string(shortened_) + " annotation text" + (shortened_ == 1 ? " was" : "s were") +
                    " shortened to " + std::to_string(max_annotation_bytes) +
                    " bytes in the BDF file; the events file has the full text");
  }
  if (left_out_ > 0) {
    lines.push_back(std::to_string(left_out_) + " annotation" + (left_out_ == 1 ? "" : "s") +
                    " did not fit in the BDF file; the events file has all of them");
  }
  return lines;
}

}  // namespace calyra::recording
