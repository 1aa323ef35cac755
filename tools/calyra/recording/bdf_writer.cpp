#include "recording/bdf_writer.h"

#include <edflib.h>

#include <algorithm>
#include <cmath>
#include <ctime>

namespace calyra::recording {
namespace {

constexpr int bdf_digital_max = 8388607;  // 24-bit, symmetric so that 0 stays 0
constexpr int edf_time_units_per_second = 10000;  // annotation times: 100 us
// Two annotation signals give room for 20 annotations per second with 0.1 s
// records; EDFlib silently drops what does not fit, so close() trims first.
constexpr int annotation_signal_count = 2;

std::string fit(const std::string& text, std::size_t width) { return text.substr(0, width); }

}  // namespace

std::string utf8_prefix(const std::string& text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t cut = max_bytes;
  // Step back over continuation bytes (10xxxxxx) to the start of a character.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0U) == 0x80U) --cut;
  return text.substr(0, cut);
}

bdf_writer::bdf_writer(const std::string& path, const recording_layout& layout)
    : path_(path), layout_(layout) {
  const int rate = static_cast<int>(layout_.sample_rate_hz);
  if (rate <= 0 || layout_.signals.empty()) {
    throw recording_error("cannot record to " + path_ + ": no signals or no sample rate");
  }
  // Short records keep the padding of the last record small.
  const bool tenths = rate % 10 == 0;
  samples_per_record_ = tenths ? rate / 10 : rate;

  const int n_signals = static_cast<int>(layout_.signals.size());
  handle_ = edfopen_file_writeonly(path_.c_str(), EDFLIB_FILETYPE_BDFPLUS, n_signals);
  if (handle_ < 0) {
    throw recording_error("cannot create BDF file " + path_ + " (EDFlib error " +
                          std::to_string(handle_) + ")");
  }
  bool ok = true;
  for (int s = 0; s < n_signals; ++s) {
    const signal_description& d = layout_.signals[static_cast<std::size_t>(s)];
    const bool flag = d.kind == signal_kind::contact;
    ok = ok && edf_set_samplefrequency(handle_, s, samples_per_record_) == 0;
    ok = ok && edf_set_physical_maximum(handle_, s, d.physical_max) == 0;
    ok = ok && edf_set_physical_minimum(handle_, s, d.physical_min) == 0;
    ok = ok && edf_set_digital_maximum(handle_, s, flag ? 1 : bdf_digital_max) == 0;
    ok = ok && edf_set_digital_minimum(handle_, s, flag ? 0 : -bdf_digital_max) == 0;
    ok = ok && edf_set_label(handle_, s, fit(d.label, 16).c_str()) == 0;
    ok = ok && edf_set_physical_dimension(handle_, s, fit(d.unit, 8).c_str()) == 0;
  }
  if (tenths) ok = ok && edf_set_datarecord_duration(handle_, 10000) == 0;  // units of 10 us
  annotation_signals_ = annotation_signal_count;
  ok = ok && edf_set_number_of_annotation_signals(handle_, annotation_signals_) == 0;

  const std::time_t start = std::chrono::system_clock::to_time_t(layout_.start_time);
  std::tm local{};
  localtime_r(&start, &local);
  ok = ok && edf_set_startdatetime(handle_, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                   local.tm_hour, local.tm_min, local.tm_sec) == 0;
  const auto since_second = layout_.start_time - std::chrono::system_clock::from_time_t(start);
  const auto hundred_us = std::chrono::duration_cast<std::chrono::microseconds>(since_second).count() / 100;
  if (hundred_us > 0 && hundred_us < 10000) {
    ok = ok && edf_set_subsecond_starttime(handle_, static_cast<int>(hundred_us * 1000)) == 0;
  }
  ok = ok && edf_set_equipment(handle_, fit(layout_.equipment, 60).c_str()) == 0;
  if (!ok) {
    edfclose_file(handle_);
    handle_ = -1;
    throw recording_error("cannot set up the BDF header of " + path_);
  }
  record_.assign(layout_.signals.size(), std::vector<double>(static_cast<std::size_t>(samples_per_record_)));
}

bdf_writer::~bdf_writer() {
  if (handle_ >= 0) edfclose_file(handle_);
}

long long bdf_writer::to_edf_time(std::int64_t samples) const {
  return std::llround(static_cast<double>(samples) * edf_time_units_per_second /
                      static_cast<double>(layout_.sample_rate_hz));
}

void bdf_writer::write_record() {
  for (std::size_t s = 0; s < record_.size(); ++s) {
    if (edfwrite_physical_samples(handle_, record_[s].data()) != 0) {
      throw recording_error("cannot write to " + path_ + " (disk full?)");
    }
  }
  ++records_written_;
  record_fill_ = 0;
}

void bdf_writer::end_gap() {
  if (gap_start_ < 0) return;
  gap_annotations_.push_back({gap_start_, samples_written_ - gap_start_, gap_text});
  gap_start_ = -1;
}

void bdf_writer::write(const sample_block& block) {
  if (block.empty()) return;
  if (!have_origin_) {
    have_origin_ = true;
    first_sample_number_ = block.sample_numbers.front();
  }
  for (std::size_t row = 0; row < block.size(); ++row) {
    if (block.streaming[row] == 0) {
      if (gap_start_ < 0) gap_start_ = samples_written_;
    } else {
      end_gap();
    }
    for (std::size_t s = 0; s < record_.size(); ++s) {
      const signal_description& d = layout_.signals[s];
      double v = block.signals[s][row];
      // EDFlib would wrap out-of-range values into the 24-bit field.
      v = std::isfinite(v) ? std::clamp(v, d.physical_min, d.physical_max) : 0.0;
      record_[s][static_cast<std::size_t>(record_fill_)] = v;
    }
    ++samples_written_;
    if (++record_fill_ == samples_per_record_) write_record();
  }
}

void bdf_writer::annotate(std::int64_t sample, const std::string& text) {
  stream_annotations_.emplace_back(sample, text);
}

void bdf_writer::close() {
  if (handle_ < 0) return;
  end_gap();
  const std::int64_t true_length = samples_written_;
  if (record_fill_ > 0) {
    // A BDF file holds whole records: repeat the last values to the end and
    // say where the recording really ends.
    for (std::size_t s = 0; s < record_.size(); ++s) {
      const double last = record_[s][static_cast<std::size_t>(record_fill_ - 1)];
      std::fill(record_[s].begin() + record_fill_, record_[s].end(), last);
    }
    write_record();
    gap_annotations_.push_back({true_length, -1, end_text});
  }

  std::vector<annotation> all;
  for (const auto& [sample, text] : stream_annotations_) {
    std::int64_t position = have_origin_ ? sample - static_cast<std::int64_t>(first_sample_number_) : 0;
    position = std::clamp<std::int64_t>(position, 0, std::max<std::int64_t>(true_length - 1, 0));
    all.push_back({position, -1, utf8_prefix(text, max_annotation_bytes)});
  }
  // The user's annotations come first when the file cannot hold them all.
  const auto capacity = static_cast<std::size_t>(std::max<std::int64_t>(records_written_, 1) * annotation_signals_);
  for (const annotation& a : gap_annotations_) {
    if (all.size() >= capacity) break;
    all.push_back(a);
  }
  if (all.size() > capacity) all.resize(capacity);
  std::stable_sort(all.begin(), all.end(),
                   [](const annotation& a, const annotation& b) { return a.position < b.position; });

  bool ok = true;
  for (const annotation& a : all) {
    const long long duration = a.duration < 0 ? -1 : to_edf_time(a.duration);
    ok = ok && edfwrite_annotation_utf8(handle_, to_edf_time(a.position), duration, a.text.c_str()) == 0;
  }
  const int closed = edfclose_file(handle_);
  handle_ = -1;
  if (!ok || closed != 0) throw recording_error("cannot finish the BDF file " + path_);
}

}  // namespace calyra::recording
