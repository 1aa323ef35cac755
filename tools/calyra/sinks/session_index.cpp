#include "sinks/session_index.h"

#include <filesystem>
#include <sstream>

#include "app/interrupt.h"
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

}  // namespace

std::string session_index_text(const std::vector<index_entry>& entries, const std::string& stop_reason) {
  using text::json_string;
  std::ostringstream j;
  j << "{\n  \"time_axis\": \"CLOCK_MONOTONIC nanoseconds of the recording host\",\n";
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

// Notes the first sample it is given; at the end asks the headset's clock,
// fitted over the whole run, for that sample's host time.
class session_index::entry_sink final : public session::sink {
 public:
  entry_sink(session_index& index, std::size_t entry, session::headset_stream& h)
      : index_(index), entry_(entry), headset_(h) {}

  void rows(const recording::sample_block& rows) override {
    if (!first_sample_ && !rows.sample_numbers.empty()) first_sample_ = rows.sample_numbers.front();
  }
  void event(const session::placed_event&) override {}
  void finish(const session::run_end& end) override {
    index_entry& e = index_.entries_[entry_];
    const stream::manager_clock& clock = headset_.clock();
    e.samples = headset_.tally().samples();
    e.clock = stream::describe_clock(clock.info());
    if (first_sample_) {
      e.first_sample_number = *first_sample_;
      e.first_sample_host_time_ns = clock.host_time_of(static_cast<double>(*first_sample_));
    }
    // A recording without a sample is not written.
    if (!first_sample_) e.recording.clear();
    if (headset_.link_lost()) e.stop_reason = "the headset disconnected";
    index_.entry_finished(end.stop_reason);
  }
  std::string failure_reason() const override { return "the session description could not be written"; }

 private:
  session_index& index_;
  std::size_t entry_;
  session::headset_stream& headset_;
  std::optional<std::uint64_t> first_sample_;
};

session_index::session_index(const std::string& path, bool overwrite) : file_(path, overwrite) {
  app::discard_on_exit(file_.temporary_path().c_str());
}

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

void session_index::entry_finished(const std::string& stop_reason) {
  if (--open_entries_ > 0) return;
  try {
    recording::replace_contents(file_.temporary_path(), session_index_text(entries_, stop_reason), file_.final_path());
    file_.commit();
  } catch (const std::exception& e) {
    throw session::sink_failure(e.what());
  }
}

}  // namespace calyra::sinks
