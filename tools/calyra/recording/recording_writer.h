// Writers of recordings: BDF+ or CSV, chosen by the file name.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "recording/sample_block.h"

namespace calyra::recording {

// A file could not be written. The message names the file and the cause.
class recording_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// All calls come from one thread. A writer that is destroyed without close()
// leaves an unfinished file behind; the caller removes it (output_file).
// Annotation texts reach the writers as valid UTF-8 (clean_annotation_text).
class recording_writer {
 public:
  virtual ~recording_writer() = default;

  // Appends the rows of `block`, whose columns follow the layout.
  virtual void write(const sample_block& block) = 0;

  // Sets when the first sample was acquired (wall clock), in place of the
  // layout's start time; called at most once, before the first write. The
  // header is written again in place, so the file stays valid throughout.
  virtual void set_start_time(std::chrono::system_clock::time_point /*first_sample*/) {}

  // Attaches `text` at the stream sample number `sample`, which may lie
  // before, inside or after the rows written so far (it is clamped into the
  // recording when the file is finished).
  virtual void annotate(std::int64_t sample, const std::string& text) = 0;

  // The filler rows written next, up to the next decoded row, are one span
  // described by `text` (a link outage) instead of missed samples. Writers
  // that mark no spans ignore it.
  virtual void label_next_gap(const std::string& /*text*/) {}

  // Finishes the file. Throws recording_error when it cannot be completed;
  // what was written stays readable where possible.
  virtual void close() = 0;

  // Lines for the summary about what the format could not hold as given
  // (shortened texts, ...), once closed.
  virtual std::vector<std::string> remarks() const { return {}; }
};

// Opens a writer for `path`: a name ending in .bdf (any case) writes BDF+,
// .csv writes CSV. Throws recording_error when the file cannot be created.
std::unique_ptr<recording_writer> open_recording(const std::string& path,
                                                 const std::string& format_name,
                                                 const recording_layout& layout);

// "bdf" or "csv" for a file name, empty for anything else.
std::string recording_format_of(const std::string& file_name);

}  // namespace calyra::recording
