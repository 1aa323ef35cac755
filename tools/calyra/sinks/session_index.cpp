#include "sinks/session_index.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/interrupt.h"
#include "recording/recording_writer.h"
#include "stream/manager_clock.h"
#include "text/json_text.h"

namespace calyra::sinks {
namespace {

std::string number(double v, int precision) {
  std::ostringstream s;
  s.precision(precision);
  s << v;
  return s.str();
}

// How often the description is rewritten while recording.
constexpr auto checkpoint_every = std::chrono::seconds(1);

}  // namespace

std::string session_index_text(const std::vector<index_entry>& entries, const std::string& stop_reason,
                               const std::string& state) {
  using text::json_string;
  std::ostringstream j;
  j << "{\n  \"time_axis\": \"CLOCK_MONOTONIC nanoseconds of the recording host\",\n";
  j << "  \"state\": " << json_string(state) << ",\n";
  j << "  \"stop_reason\": " << (stop_reason.empty() ? "null" : json_string(stop_reason)) << ",\n";
  j << "  \"headsets\": [";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const index_entry& e = entries[i];
    j << (i == 0 ? "\n" : ",\n") << "    {\"name\": " << json_string(e.name) << ", \"connected\": "
      << (e.connected ? "true" : "false")
      << ", \"recording\": " << (e.recording.empty() ? "null" : json_string(e.recording))
      << ", \"first_sample_host_time_ns\": "
      << (e.first_sample_host_time_ns ? std::to_string(*e.first_sample_host_time_ns) : "null")
      << ", \"first_sample_number\": " << e.first_sample_number << ", \"samples\": " << e.samples << ", \"sample_rate_hz\": " << number(e.rate_hz, 12)
      << ", \"stop_reason\": " << (e.stop_reason.empty() ? "null" : json_string(e.stop_reason))
      << ",\n     \"clock\": {\"state\": " << json_string(e.clock.state)
      << ", \"drift_ppm\": " << number(e.clock.drift_ppm, 6) << ", \"rate_hz\": " << number(e.clock.rate_hz, 12)
      << ", \"jitter_p99_ms\": " << number(e.clock.jitter_ms, 4) << ", \"packets_fitted\": "
      << e.clock.packets_fitted << ", \"fitted_seconds\": " << number(e.clock.fitted_seconds, 6) << "}}";
  }
  j << "\n  ]\n}\n";
  return j.str();
}

// Notes the first sample it is given and, each pass, what the headset's
// clock says of it; at the end asks the clock, fitted over the whole run,
// for that sample's host time.
class session_index::entry_sink final : public session::sink {
 public:
  entry_sink(session_index& index, std::size_t entry, session::headset_stream& h)
      : index_(index), entry_(entry), headset_(h) {}

  void rows(const recording::sample_block& rows) override {
    if (!first_sample_ && !rows.sample_numbers.empty()) first_sample_ = rows.sample_numbers.front();
  }
  void event(const session::placed_event&) override {}
  // Every entry is refreshed each pass (a few cheap reads of the clock), so
  // that whichever entry's tick writes the description finds all current.
  void tick() override {
    refresh();
    index_.checkpoint();
  }
  void finish(const session::run_end& end) override {
    index_entry& e = index_.entries_[entry_];
    refresh();
    // A recording without a sample is not written.
    if (!first_sample_) e.recording.clear();
    if (headset_.link_lost()) e.stop_reason = "the headset disconnected";
    index_.entry_finished(end.stop_reason);
  }
  std::string failure_reason() const override { return "the session description could not be written"; }

 private:
  void refresh() {
    index_entry& e = index_.entries_[entry_];
    const stream::manager_clock& clock = headset_.clock();
    e.samples = headset_.tally().samples();
    e.clock = stream::describe_clock(clock.info());
    if (first_sample_) {
      e.first_sample_number = *first_sample_;
      e.first_sample_host_time_ns = clock.host_time_of(static_cast<double>(*first_sample_));
    }
  }

  session_index& index_;
  std::size_t entry_;
  session::headset_stream& headset_;
  std::optional<std::uint64_t> first_sample_;
};

session_index::session_index(const std::string& path, bool overwrite) : file_(path, overwrite) {
  app::discard_on_exit(file_.temporary_path().c_str());
}

session_index::~session_index() { app::keep_on_exit(file_.temporary_path().c_str()); }

void session_index::add_missing(const std::string& name) {
  index_entry e;
  e.name = name;
  e.connected = false;
  entries_.push_back(e);
}

std::unique_ptr<session::sink> session_index::entry_for(session::headset_stream& h, const std::string& recording) {
  index_entry e;
  e.name = h.device().name();
  e.recording = std::filesystem::path(recording).filename().string();
  e.rate_hz = h.settings().rate_hz;
  entries_.push_back(e);
  ++open_entries_;
  return std::make_unique<entry_sink>(*this, entries_.size() - 1, h);
}

void session_index::checkpoint() {
  const auto now = std::chrono::steady_clock::now();
  if (last_checkpoint_ && now - *last_checkpoint_ < checkpoint_every) return;
  // The first is written once every headset that records has its first
  // sample on its clock: before that the description lines nothing up.
  const bool placed = std::all_of(entries_.begin(), entries_.end(), [](const index_entry& e) {
    return !e.connected || e.first_sample_host_time_ns.has_value();
  });
  if (!last_checkpoint_ && !placed) return;
  last_checkpoint_ = now;
  try {
    file_.replace_temporary(session_index_text(entries_, "", "recording"));
  } catch (const std::exception& e) {
    throw session::sink_failure(e.what());
  }
}

void session_index::entry_finished(const std::string& stop_reason) {
  if (--open_entries_ > 0) return;
  try {
    file_.replace_temporary(session_index_text(entries_, stop_reason, "complete"));
    file_.commit();
  } catch (const std::exception& e) {
    throw session::sink_failure(e.what());
  }
}

bool is_session_index_part(const std::string& path) {
  return path.size() > 10 && path.ends_with(".json.part");
}

std::string recover_session_index(const std::string& part_path) {
  std::ifstream in(part_path);
  if (!is_session_index_part(part_path) || !in) throw recording::recording_error("cannot read the session description " + part_path);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const std::string recording_state = "\"state\": \"recording\"";
  const std::size_t at = text.find(recording_state);
  if (at == std::string::npos) {
    throw recording::recording_error(part_path + " holds no session description (the run ended before every headset's "
                                     "first sample was on its clock)");
  }
  text.replace(at, recording_state.size(), "\"state\": \"recovered\"");
  const std::string final_path = part_path.substr(0, part_path.size() - 5);
  std::error_code exists_error;
  if (std::filesystem::exists(final_path, exists_error)) {
    throw recording::recording_error(final_path + " exists already: not replaced");
  }
  recording::replace_contents(final_path, text, final_path);
  std::filesystem::remove(part_path);
  return final_path;
}

}  // namespace calyra::sinks
