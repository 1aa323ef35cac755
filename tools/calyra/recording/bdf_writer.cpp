#include "recording/bdf_writer.h"

#include <edflib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>

#include "recording/bdf_file_check.h"

namespace calyra::recording {
namespace {

constexpr int bdf_digital_max = 8388607;  // 24-bit, symmetric so that 0 stays 0
constexpr int edf_time_units_per_second = 10000;  // annotation times: 100 us
// Room for 20 annotations per second with 0.1 s records; close() copies the
// file into one with more annotation signals when more were typed.
constexpr int initial_annotation_signals = 2;
// EDFlib's buffered stream may hold back this much before it reaches the disk.
constexpr std::int64_t buffering_slack_bytes = 64 * 1024;
constexpr int records_between_checks = 10;

std::string fit(const std::string& text, std::size_t width) { return utf8_prefix(text, width); }

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
    case signal_kind::electrode: return fit("EEG " + signal.label, 16);
    case signal_kind::contact:
    case signal_kind::accelerometer: return fit("MISC " + signal.label, 16);
  }
  return fit(signal.label, 16);
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
  record_duration_ = tenths ? 10000 : 100000;
  annotation_signals_ = initial_annotation_signals;
  handle_ = open_file(path_, annotation_signals_);
  record_.assign(layout_.signals.size(), std::vector<double>(static_cast<std::size_t>(samples_per_record_)));
}

int bdf_writer::open_file(const std::string& path, int annotation_signals) const {
  const int n_signals = static_cast<int>(layout_.signals.size());
  const int handle = edfopen_file_writeonly(path.c_str(), EDFLIB_FILETYPE_BDFPLUS, n_signals);
  if (handle < 0) {
    throw recording_error("cannot create BDF file " + name_ + " (EDFlib error " + std::to_string(handle) + ")");
  }
  bool ok = true;
  for (int s = 0; s < n_signals; ++s) {
    const signal_description& d = layout_.signals[static_cast<std::size_t>(s)];
    const bool flag = d.kind == signal_kind::contact;
    ok = ok && edf_set_samplefrequency(handle, s, samples_per_record_) == 0;
    ok = ok && edf_set_physical_maximum(handle, s, d.physical_max) == 0;
    ok = ok && edf_set_physical_minimum(handle, s, d.physical_min) == 0;
    ok = ok && edf_set_digital_maximum(handle, s, flag ? 1 : bdf_digital_max) == 0;
    ok = ok && edf_set_digital_minimum(handle, s, flag ? 0 : -bdf_digital_max) == 0;
    ok = ok && edf_set_label(handle, s, bdf_label(d).c_str()) == 0;
    ok = ok && edf_set_physical_dimension(handle, s, fit(d.unit, 8).c_str()) == 0;
    if (d.kind == signal_kind::electrode && !layout_.prefilter.empty()) {
      ok = ok && edf_set_prefilter(handle, s, fit(layout_.prefilter, 80).c_str()) == 0;
    }
  }
  ok = ok && edf_set_datarecord_duration(handle, record_duration_) == 0;  // units of 10 us
  ok = ok && edf_set_number_of_annotation_signals(handle, annotation_signals) == 0;

  const std::time_t start = std::chrono::system_clock::to_time_t(layout_.start_time);
  std::tm local{};
  localtime_r(&start, &local);
  ok = ok && edf_set_startdatetime(handle, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                   local.tm_hour, local.tm_min, local.tm_sec) == 0;
  const auto since_second = layout_.start_time - std::chrono::system_clock::from_time_t(start);
  const auto hundred_us = std::chrono::duration_cast<std::chrono::microseconds>(since_second).count() / 100;
  if (hundred_us > 0 && hundred_us < 10000) {
    ok = ok && edf_set_subsecond_starttime(handle, static_cast<int>(hundred_us * 1000)) == 0;
  }
  ok = ok && edf_set_equipment(handle, fit(layout_.equipment, 40).c_str()) == 0;
  if (!layout_.subject.empty()) ok = ok && edf_set_patientcode(handle, fit(layout_.subject, 40).c_str()) == 0;
  if (!layout_.session.empty()) ok = ok && edf_set_admincode(handle, fit(layout_.session, 20).c_str()) == 0;
  if (!layout_.note.empty()) {
    ok = ok && edf_set_recording_additional(handle, fit(layout_.note, 20).c_str()) == 0;
  }
  if (!ok) {
    edfclose_file(handle);
    throw recording_error("cannot set up the BDF header of " + name_);
  }
  return handle;
}

bdf_writer::~bdf_writer() {
  if (handle_ >= 0) edfclose_file(handle_);
}

void bdf_writer::write_record() {
  for (std::size_t s = 0; s < record_.size(); ++s) {
    if (edfwrite_physical_samples(handle_, record_[s].data()) != 0) {
      failed_ = true;
      failure_ = "cannot write to " + name_ + " (EDFlib refused a data record)";
      throw recording_error(failure_);
    }
  }
  ++records_written_;
  record_fill_ = 0;
  if (records_written_ % records_between_checks == 0) check_progress();
}

// EDFlib reports success for data its stream has only buffered; the file
// size shows whether the data really reaches the disk.
void bdf_writer::check_progress() {
  struct stat info{};
  if (::stat(path_.c_str(), &info) != 0) return;
  const std::int64_t data_bytes = 3 * static_cast<std::int64_t>(record_.size()) * samples_per_record_;
  if (records_written_ * data_bytes > info.st_size + buffering_slack_bytes) {
    failed_ = true;
    failure_ = "cannot write " + name_ + ": the data stopped reaching the disk after " +
               seconds_text(static_cast<double>(info.st_size) / static_cast<double>(data_bytes) *
                            samples_per_record_ / layout_.sample_rate_hz) +
               " (disk full or file size limit?)";
    throw recording_error(failure_);
  }
}

void bdf_writer::end_gap() {
  if (gap_start_ < 0) return;
  gap_annotations_.push_back({gap_start_, samples_written_ - gap_start_, gap_text});
  gap_start_ = -1;
}

void bdf_writer::write(const sample_block& block) {
  if (block.empty() || failed_) return;
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

std::vector<recording_event> bdf_writer::file_annotations() {
  const std::int64_t true_length = samples_written_;
  std::vector<recording_event> all;
  for (const auto& [sample, text] : stream_annotations_) {
    std::int64_t position = have_origin_ ? sample - static_cast<std::int64_t>(first_sample_number_) : 0;
    position = std::clamp<std::int64_t>(position, 0, std::max<std::int64_t>(true_length - 1, 0));
    std::string cut = utf8_prefix(text, max_annotation_bytes);
    if (cut.size() < text.size()) ++shortened_;
    all.push_back({position, -1, std::move(cut)});
  }
  // The user's annotations come first when even the largest file layout
  // cannot hold them all (the events file keeps every one).
  const auto capacity =
      static_cast<std::size_t>(std::max<std::int64_t>(records_written_, 1) * max_annotation_signals);
  for (const recording_event& a : gap_annotations_) {
    if (all.size() >= capacity) break;
    all.push_back(a);
  }
  const std::size_t wanted = stream_annotations_.size() + gap_annotations_.size();
  if (all.size() > capacity) all.resize(capacity);
  left_out_ = wanted - all.size();
  std::stable_sort(all.begin(), all.end(), [](const recording_event& a, const recording_event& b) {
    return a.position < b.position;
  });
  return all;
}

void bdf_writer::write_annotations(int handle, const std::vector<recording_event>& events) const {
  const auto to_edf_time = [&](std::int64_t samples) {
    return std::llround(static_cast<double>(samples) * edf_time_units_per_second /
                        static_cast<double>(layout_.sample_rate_hz));
  };
  // Readers sort annotations by onset, and annotations of equal onset in
  // different annotation signals come back signal by signal: equal onsets
  // are made distinct by one time unit (100 us) so they keep their order.
  long long previous = -1;
  for (const recording_event& a : events) {
    const long long onset = std::max(to_edf_time(a.position), previous + 1);
    previous = onset;
    const long long duration = a.duration < 0 ? -1 : to_edf_time(a.duration);
    if (edfwrite_annotation_utf8(handle, onset, duration, a.text.c_str()) != 0) {
      throw recording_error("cannot store the annotations of " + name_);
    }
  }
}

void bdf_writer::verify(const std::string& path) {
  const auto state = inspect_bdf_file(path);
  if (!state) {
    failed_ = true;
    throw recording_error("cannot write " + name_ + ": not even its header reached the disk");
  }
  const bool complete = state->records_in_header == records_written_ &&
                        state->file_bytes == state->header_bytes + records_written_ * state->record_bytes;
  if (complete) return;
  failed_ = true;
  const std::int64_t kept = std::min(state->complete_records, records_written_);
  if (!truncate_bdf_file(path, *state, kept)) {
    throw recording_error("cannot write " + name_ + " and cannot repair it either");
  }
  const double record_seconds = static_cast<double>(samples_per_record_) / layout_.sample_rate_hz;
  throw recording_error("cannot write " + name_ + ": only " + seconds_text(kept * record_seconds) + " of " +
                        seconds_text(records_written_ * record_seconds) +
                        " reached the disk (disk full or file size limit?); the file holds that "
                        "part and stays readable");
}

void bdf_writer::copy_with_annotation_signals(int annotation_signals) {
  const std::string copy = path_ + ".annotations";
  auto header = std::make_unique<edf_hdr_struct>();  // large: keep it off the stack
  if (edfopen_file_readonly(path_.c_str(), header.get(), EDFLIB_DO_NOT_READ_ANNOTATIONS) != 0) {
    throw recording_error("cannot reopen " + name_ + " to add room for its annotations");
  }
  const int in = header->handle;
  int out = -1;
  try {
    out = open_file(copy, annotation_signals);
    std::vector<int> buffer(static_cast<std::size_t>(samples_per_record_));
    for (std::int64_t r = 0; r < records_written_; ++r) {
      for (int s = 0; s < static_cast<int>(record_.size()); ++s) {
        if (edfread_digital_samples(in, s, samples_per_record_, buffer.data()) != samples_per_record_ ||
            edfwrite_digital_samples(out, buffer.data()) != 0) {
          throw recording_error("cannot copy " + name_ + " to add room for its annotations");
        }
      }
    }
    write_annotations(out, file_annotations_);
  } catch (...) {
    edfclose_file(in);
    if (out >= 0) edfclose_file(out);
    ::unlink(copy.c_str());
    throw;
  }
  edfclose_file(in);
  const int closed = edfclose_file(out);
  const auto state = inspect_bdf_file(copy);
  const bool complete = closed == 0 && state && state->records_in_header == records_written_ &&
                        state->file_bytes == state->header_bytes + records_written_ * state->record_bytes;
  if (!complete || std::rename(copy.c_str(), path_.c_str()) != 0) {
    ::unlink(copy.c_str());
    throw recording_error("cannot add room for the annotations of " + name_);
  }
  annotation_signals_ = annotation_signals;
}

void bdf_writer::close() {
  if (handle_ < 0) return;
  std::string failure = failure_;
  try {
    if (!failed_) {
      end_gap();
      const std::int64_t true_length = samples_written_;
      if (record_fill_ > 0) {
        // A BDF file holds whole records: repeat the last values to the end
        // and mark them, so that the recording's true end stays known.
        const std::int64_t padding = samples_per_record_ - record_fill_;
        for (std::size_t s = 0; s < record_.size(); ++s) {
          const double last = record_[s][static_cast<std::size_t>(record_fill_ - 1)];
          std::fill(record_[s].begin() + record_fill_, record_[s].end(), last);
        }
        write_record();
        gap_annotations_.push_back({true_length, padding, end_text});
      }
    }
  } catch (const recording_error& e) {
    failure = e.what();
  }

  file_annotations_ = file_annotations();
  const std::int64_t records = std::max<std::int64_t>(records_written_, 1);
  const auto needed = static_cast<int>((static_cast<std::int64_t>(file_annotations_.size()) + records - 1) / records);
  // After a write failure the annotations stay out of the file: EDFlib would
  // write them into records that never reached the disk.
  if (!failed_ && needed <= annotation_signals_) {
    try {
      write_annotations(handle_, file_annotations_);
    } catch (const recording_error& e) {
      failure = e.what();
    }
  }
  const int closed = edfclose_file(handle_);
  handle_ = -1;
  if (closed != 0 && failure.empty()) failure = "cannot finish the BDF file " + name_;
  verify(path_);  // throws after cutting a damaged file back to what is readable
  if (failure.empty() && needed > annotation_signals_) {
    copy_with_annotation_signals(std::min(needed, max_annotation_signals));
  }
  if (!failure.empty()) throw recording_error(failure);
}

std::vector<std::string> bdf_writer::remarks() const {
  std::vector<std::string> lines;
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
