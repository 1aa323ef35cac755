#include "session/headset_stream.h"

#include <chrono>
#include <cmath>
#include <sstream>
#include <thread>

#include "app/failure.h"
#include "app/interrupt.h"
#include "recording/events.h"

namespace calyra::session {
namespace {

using clock = std::chrono::steady_clock;

// Runs on the BLE thread inside the manager's stream lock: copy and leave.
void on_chunk(const void* const* channel_data, std::size_t sample_count, void* user_data) {
  auto& ctx = *static_cast<headset_stream::context*>(user_data);
  const std::uint8_t* types = nullptr;
  std::size_t type_count = 0;
  cy_eeg_manager_get_stream_channel_data_types(ctx.manager, &types, &type_count);
  recording::sample_block block;
  stream::convert_chunk(ctx.plan, channel_data, types, type_count, sample_count, block);
  ctx.queue.push(std::move(block));
}

void on_disconnect(void* user_data) {
  static_cast<headset_stream::context*>(user_data)->link_lost = true;
}

cy_gain_mode gain_mode_of(unsigned multiplier) {
  switch (multiplier) {
    case 1: return CY_GAIN_X1;
    case 2: return CY_GAIN_X2;
    case 4: return CY_GAIN_X4;
    case 6: return CY_GAIN_X6;
    case 12: return CY_GAIN_X12;
    default: return CY_GAIN_X8;
  }
}

std::vector<unsigned> electrodes_to_stream(const headset_settings& o, const device::headset& h) {
  const unsigned count = cy_core_device_features_electrode_count(h.features());
  if (o.electrodes.empty()) {
    std::vector<unsigned> all(count);
    for (unsigned e = 0; e < count; ++e) all[e] = e + 1;
    return all;
  }
  for (unsigned e : o.electrodes) {
    if (e > count) {
      throw app::command_failure("electrode " + std::to_string(e) + " does not exist: " + h.name() +
                                 " (" + h.model_name() + ") has " + std::to_string(count) +
                                 " electrodes");
    }
  }
  return o.electrodes;
}

void configure(const device::headset& h, const headset_settings& o, const stream::stream_plan& plan,
               const std::vector<unsigned>& electrodes) {
  cy_eeg_manager* m = h.handle();
  const cy_error rate = cy_eeg_manager_set_data_stream_rate(m, o.rate_hz == 500 ? CY_RATE_HZ_500 : CY_RATE_HZ_250);
  if (rate != CY_OK) {
    throw app::command_failure::from_code(
        rate, "setting " + std::to_string(o.rate_hz) + " Hz on " + h.name() + " (" + h.model_name() + ")");
  }
  for (std::uint16_t id : plan.channel_ids) cy_eeg_manager_set_channel_enabled(m, id, true);
  for (unsigned e : electrodes) {
    cy_eeg_manager_set_channel_gain(m, static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT + e - 1),
                                    gain_mode_of(o.gain));
  }
  cy_eeg_manager_set_impedance_mode(m, o.impedance ? 1 : CY_IMPEDANCE_OFF);
  const cy_error loaded = cy_eeg_manager_load_config(m, nullptr, nullptr);
  if (loaded != CY_OK) throw app::command_failure::from_code(loaded, "sending the configuration");
}

stream::pipeline_settings tally_settings_of(const headset_settings& o) {
  stream::pipeline_settings settings;
  settings.rate_hz = o.rate_hz;
  settings.target_samples =
      o.seconds > 0.0 ? std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::llround(o.seconds * o.rate_hz)))
                      : 0;
  settings.filters = o.grading;
  return settings;
}

// Samples per packet of the running stream, from the library's counts: every
// lost packet of a stream has the stream's packet size, so the filled samples
// divide exactly (impedance mode included). 0 while nothing was lost.
std::uint64_t lost_packet_size(cy_eeg_manager* manager) {
  cy_stream_stats counts{};
  if (cy_eeg_manager_get_stream_stats(manager, &counts) != CY_OK || counts.missed_packets == 0) return 0;
  return counts.filled_samples / counts.missed_packets;
}

}  // namespace

headset_stream::headset_stream(headset_settings settings) : settings_(std::move(settings)) {}

headset_stream::~headset_stream() { close(); }

void headset_stream::open() {
  headset_ = std::make_unique<device::headset>(settings_.device, device::firmware_policy::require_compatible);
  if (app::interrupt_requested()) throw app::command_failure("interrupted before the stream started");
  const std::vector<unsigned> electrodes = electrodes_to_stream(settings_, *headset_);
  if (settings_.accel && !cy_core_device_features_has_accel(headset_->features())) {
    throw app::command_failure(headset_->name() + " (" + headset_->model_name() + ") has no accelerometer");
  }
  const headset_settings& o = settings_;
  context_->plan = stream::plan_stream({electrodes, o.contact, o.accel, o.impedance, o.gain});
  context_->manager = headset_->handle();
  configure(*headset_, o, context_->plan, electrodes);
  // The sinks hold on to the clock and the tally: they are made once.
  if (!clock_) clock_ = std::make_unique<stream::manager_clock>(headset_->handle());
  if (!tally_) {
    tally_ = std::make_unique<stream::recording_pipeline>(context_->plan.signals, context_->plan.electrode_signals,
                                                          tally_settings_of(o), nullptr);
  }
}

void headset_stream::start() {
  cy_eeg_manager_set_callback_chunk(handle(), on_chunk, context_.get());
  cy_eeg_manager_set_callback_disconnect(handle(), on_disconnect, context_.get());
  const cy_error started = cy_eeg_manager_start_stream(handle(), nullptr, nullptr);
  if (started != CY_OK) throw app::command_failure::from_code(started, "starting the stream");
  app::recording_started();
}

void headset_stream::note_failure(const sink& s, const std::string& what, bool at_end) {
  if (!failure_.empty() && !(at_end && failed_ == &s)) return;
  failure_ = what;
  failed_ = &s;
}

void headset_stream::finish_sinks(const run_end& end) {
  for (const auto& s : sinks_) {
    try {
      s->finish(end);
    } catch (const std::runtime_error& e) {
      note_failure(*s, e.what(), true);
    }
  }
}

display::stream_status headset_stream::status() {
  display::stream_status s;
  s.elapsed_seconds = tally_->seconds();
  s.target_seconds = settings_.seconds;
  s.samples = tally_->samples();
  s.missed_packets = missed_packets();
  s.lost_samples = tally_->lost_samples();
  s.annotations = tally_->annotations();
  s.electrodes = electrode_statuses();
  return s;
}

std::vector<display::electrode_status> headset_stream::electrode_statuses() {
  const stream::stream_plan& plan = context_->plan;
  std::vector<display::electrode_status> result;
  const auto& grades = tally_->quality().latest();
  for (std::size_t i = 0; i < plan.electrode_signals.size(); ++i) {
    display::electrode_status s;
    s.label = plan.signals[plan.electrode_signals[i]].label;
    if (settings_.impedance) {
      s.grade = "n/a";
    } else {
      s.grade = quality::grade_word(grades[i].grade);
      s.reason = grades[i].reason;
    }
    result.push_back(std::move(s));
  }
  return result;
}

// Rows beyond the requested length go nowhere: the tally cuts them.
void headset_stream::feed(const recording::sample_block& block) {
  const std::uint64_t before = tally_->samples();
  tally_->accept(block);
  const std::uint64_t taken = tally_->samples() - before;
  if (taken == 0) return;
  recording::sample_block part;
  const recording::sample_block* rows = &block;
  if (taken < block.size()) {
    part.reset(block.signals.size());
    part.append(block, 0, taken);
    rows = &part;
  }
  for (const auto& s : sinks_) {
    try {
      s->rows(*rows);
    } catch (const std::runtime_error& e) {
      note_failure(*s, e.what());
    }
  }
}

bool headset_stream::take_rows(std::chrono::milliseconds wait) {
  const bool any = context_->queue.pop_all(pending_, wait);
  for (; !pending_.empty(); pending_.pop_front()) feed(pending_.front());
  return any;
}

placement headset_stream::place(const timed_event& event) {
  cy_eeg_manager* m = handle();
  placement p;
  std::string note;
  cy_error result = cy_eeg_manager_annotate_at(m, event.text.c_str(), event.host_time_ns);
  if (result == CY_NOT_STREAMING) {
    // The stream clock is known about a second into the stream; until then
    // the start-of-stream estimate places it (from the first packets on).
    result = cy_eeg_manager_annotate(m, event.text.c_str());
    note = " (stream clock not known yet: placed by the start-of-stream estimate)";
  }
  if (result == CY_OK) {
    cy_annotation* all = nullptr;
    std::size_t count = 0;
    cy_eeg_manager_get_annotations(m, &all, &count);
    if (count > 0) p.sample = all[count - 1].sample_number;
  } else if (result == CY_NOT_STREAMING) {
    // Before the first packets nothing is timed: the newest received sample
    // is the best estimate.
    p.sample = static_cast<std::int64_t>(tally_->next_sample_number());
    note = " (stream timing not known yet: placed at the newest sample)";
  } else {
    bool changed = false;
    p.message = "annotation \"" + recording::clean_annotation_text(event.text, changed) +
                "\" not stored: " + app::error_name(result) + " (" + app::error_meaning(result) + ")";
    return p;
  }
  p.stored = true;
  p.text = tally_->annotate(p.sample, event.text);
  for (const auto& s : sinks_) {
    try {
      s->event({p.sample, event.host_time_ns, p.text, event.source});
    } catch (const std::runtime_error& e) {
      note_failure(*s, e.what());
    }
  }
  std::ostringstream line;
  line << "annotation \"" << p.text << "\" at sample " << p.sample << " ("
       << static_cast<double>(p.sample) / settings_.rate_hz << " s)" << note;
  p.message = line.str();
  return p;
}

std::optional<cy_error> headset_stream::stop() {
  // The stop delivers the last chunk on the stopping thread; the queue must not block it.
  context_->queue.stop_waiting();
  auto result = std::make_shared<std::atomic<int>>(-1);
  cy_eeg_manager* manager = handle();
  std::thread stopper([manager, result] { result->store(cy_eeg_manager_stop_stream(manager, nullptr, nullptr)); });
  // Two signals close together (timeout -s INT sends two) still give a
  // quick headset the time to stop properly.
  std::optional<clock::time_point> give_up;
  while (result->load() < 0) {
    if (app::interrupt_insisted() && !give_up) give_up = clock::now() + std::chrono::milliseconds(300);
    if (give_up && clock::now() >= *give_up) {
      stopper.detach();
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stopper.join();
  return static_cast<cy_error>(result->load());
}

void headset_stream::close() {
  // Freeing the manager waits for a chunk callback in progress, which must
  // not be stuck waiting for queue space.
  context_->queue.stop_waiting();
  headset_.reset();
}

std::uint64_t headset_stream::missed_packets() const {
  return tally_->missed_packets(samples_per_lost_packet());
}

std::uint64_t headset_stream::samples_per_lost_packet() const { return lost_packet_size(handle()); }

std::string headset_stream::title() const { return headset_->name() + " (" + headset_->model_name() + ")"; }

}  // namespace calyra::session
