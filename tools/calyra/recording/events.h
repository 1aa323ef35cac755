// The events of a recording (the user's annotations and the gaps left by lost
// packets) and the tab-separated sidecar that keeps all of them, in order
// and with their full text, next to the recording (NAME_events.tsv).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace calyra::recording {

struct recording_event {
  std::int64_t position = 0;   // sample index from the start of the recording
  std::int64_t duration = -1;  // in samples, -1: none
  std::string text;            // valid UTF-8, no control characters
  std::string source{};        // who sent it ("stdin", "view", an LSL stream's name); empty: none
};

// `raw` as valid UTF-8: every byte that does not start a well-formed
// character becomes U+FFFD, and control characters (tabs included, which
// would split a TSV cell or a BDF+ annotation) become a blank. `changed`
// tells whether anything was replaced.
std::string clean_annotation_text(std::string_view raw, bool& changed);

// Writes the BIDS-style events table: a header line, then one line per event
// with onset and duration in seconds ("n/a" without a duration), the sample
// index, the description and its source ("n/a" without one). Throws recording_error when the file cannot be
// written completely.
// `name` is the file's name in messages (it is written under a temporary one).
void write_events_tsv(const std::string& path, const std::vector<recording_event>& events,
                      unsigned rate_hz, const std::string& name);

// Keeps the events table current while recording: the header at once, then
// each event as one line as soon as it is known, so that a run that ends
// abruptly leaves every event so far. finish() writes the table again in
// onset order, with the positions the finished recording gives.
class events_log {
 public:
  // Writes the header to `path`; throws recording_error.
  events_log(std::string path, unsigned rate_hz, std::string name);
  ~events_log();

  events_log(const events_log&) = delete;
  events_log& operator=(const events_log&) = delete;

  // A failed append is not fatal: finish() writes the table whole.
  void append(const recording_event& event);
  void finish(const std::vector<recording_event>& all);

 private:
  std::string path_;
  unsigned rate_hz_;
  std::string name_;
  int fd_ = -1;
};

// One line of the events table, its line end included.
std::string events_line(const recording_event& event, unsigned rate_hz);
inline constexpr const char* events_header = "onset\tduration\tsample\tdescription\tsource\n";

}  // namespace calyra::recording
