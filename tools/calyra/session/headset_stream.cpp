#include "session/headset_stream.h"

#include <chrono>
#include <cmath>
#include <sstream>
#include <thread>

#include "app/failure.h"
#include "app/interrupt.h"
#include "recording/events.h"
#include "stream/sample_clock.h"

namespace calyra::session {
namespace {

using clock = std::chrono::steady_clock;

// A stream started after a reconnect that sends nothing for this long is
// taken for a failed attempt (a headset delivers within a second).
constexpr auto silent_stream_limit = std::chrono::seconds(5);

// Runs on the BLE thread inside the manager's stream lock: copy and leave.
void on_chunk(const void* const* channel_data, std::size_t sample_count, void* user_data) {
  auto& ctx = *static_cast<headset_stream::context*>(user_data);
  const std::uint8_t* types = nullptr;
  std::size_t type_count = 0;
  cy_eeg_manager_get_stream_channel_data_types(ctx.manager.load(), &types, &type_count);
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
  model_ = headset_->info().id;
  electrode_count_ = cy_core_device_features_electrode_count(headset_->features());
  if (!tally_) {
    tally_ = std::make_unique<stream::recording_pipeline>(context_->plan.signals, context_->plan.electrode_signals,
                                                          tally_settings_of(o), nullptr);
  }
}

namespace {

void start_stream(cy_eeg_manager* m, headset_stream::context& ctx) {
  ctx.link_lost = false;
  cy_eeg_manager_set_callback_chunk(m, on_chunk, &ctx);
  cy_eeg_manager_set_callback_disconnect(m, on_disconnect, &ctx);
  const cy_error started = cy_eeg_manager_start_stream(m, nullptr, nullptr);
  if (started == CY_OK) return;
  // A link lost while starting is met like one lost later, when allowed.
  if (started == CY_CONNECTION_ERROR) ctx.link_lost = true;
  throw app::command_failure::from_code(started, "starting the stream");
}

}  // namespace

void headset_stream::start() {
  try {
    start_stream(handle(), *context_);
  } catch (const app::command_failure&) {
    if (!context_->link_lost || settings_.reconnect_timeout == 0.0) throw;
  }
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
  if (outage_) {
    std::ostringstream link;
    link.precision(1);
    link << std::fixed << "link lost " << static_cast<double>(stream::monotonic_now_ns() - outage_->lost_host_ns) * 1e-9
         << " s ago: " << (link_ == link_state::resuming ? "back, placing its samples" : "reconnecting")
         << " (attempt " << outage_->attempts << ")";
    s.link = link.str();
  }
  s.outages = outages_.size() + (outage_ ? 1 : 0);
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
  for (; !pending_.empty(); pending_.pop_front()) {
    recording::sample_block& rows = pending_.front();
    if (link_ != link_state::up) {
      // The new stream's (the lost one's were taken at the loss), which may
      // come before this thread has taken the finished attempt. Not placed
      // yet: the new stream's clock decides where they go.
      if (resumed_.empty()) first_arrival_ns_ = stream::monotonic_now_ns();
      resumed_.push_back(std::move(rows));
      continue;
    }
    for (auto& n : rows.sample_numbers) n += static_cast<std::uint64_t>(offset_);
    feed(rows);
  }
  return any;
}

placement headset_stream::place(const timed_event& event) {
  cy_eeg_manager* m = handle();
  placement p;
  std::string note;
  cy_error result = CY_OK;
  if (link_ != link_state::up && last_sample_ >= 0) {
    // No stream clock covers the outage: the last sample before and the
    // measured rate place it, as the filled samples will be.
    p.sample = sample_by_host_time(event.host_time_ns);
    note = " (link down: placed by host time)";
  } else {
    result = place_by_clock(m, event, p, note);
  }
  if (result != CY_OK) {
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

cy_error headset_stream::place_by_clock(cy_eeg_manager* m, const timed_event& event, placement& p,
                                         std::string& note) {
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
    if (count > 0) p.sample = all[count - 1].sample_number + offset_;
    return CY_OK;
  }
  if (result == CY_NOT_STREAMING) {
    // Before the first packets nothing is timed: the newest received sample
    // is the best estimate.
    p.sample = static_cast<std::int64_t>(tally_->next_sample_number());
    note = " (stream timing not known yet: placed at the newest sample)";
    return CY_OK;
  }
  return result;
}

std::optional<cy_error> headset_stream::stop() {
  if (attempt_ && attempt_->done() && link_ == link_state::down) {
    // The new stream runs: it is stopped like any other, and what it sent is kept.
    take_attempt();
  }
  if (attempt_ && !attempt_->done()) {
    // Ctrl-C while connecting: the connect cannot be cut short.
    attempt_->abandon();
    attempt_.reset();
    abandoned_ = true;
  }
  if (link_ == link_state::down) return CY_OK;
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
  if (link_ == link_state::resuming) {
    // The rows of the new stream are kept, placed as well as can be.
    while (take_rows(std::chrono::milliseconds(0))) {
    }
    place_resumed(true);
  }
  return static_cast<cy_error>(result->load());
}

void headset_stream::close() {
  // Freeing the manager waits for a chunk callback in progress, which must
  // not be stuck waiting for queue space.
  context_->queue.stop_waiting();
  if (attempt_ && abandoned_) attempt_->abandon();
  attempt_.reset();
  headset_.reset();
}

std::uint64_t headset_stream::missed_packets() const {
  return tally_->missed_packets(samples_per_lost_packet());
}

std::uint64_t headset_stream::samples_per_lost_packet() const {
  return headset_ ? lost_packet_size(handle()) : 0;
}

std::string headset_stream::title() const { return headset_->name() + " (" + headset_->model_name() + ")"; }

// ---- Link loss ---------------------------------------------------------------

std::string headset_stream::look_after_link() {
  using std::chrono::steady_clock;
  if (link_ == link_state::up) {
    if (!context_->link_lost || settings_.reconnect_timeout == 0.0) return {};
    begin_outage();
  }
  if (link_ == link_state::resuming) {
    if (context_->link_lost) {
      // Lost again before its rows were placed: keep them, look again.
      place_resumed(true);
      if (link_ == link_state::up) begin_outage();
      return {};
    }
    cy_clock_info info{};
    const bool known = cy_eeg_manager_get_clock_info(handle(), &info) == CY_OK && info.state != CY_CLOCK_UNKNOWN;
    const bool waited = !resumed_.empty() && steady_clock::now() - resumed_at_ > std::chrono::seconds(3);
    if (known || waited) return place_resumed(!known);
    if (resumed_.empty() && steady_clock::now() - resumed_at_ > silent_stream_limit) {
      // Connected and started, yet nothing comes: a failed attempt.
      cy_eeg_manager_disconnect(handle());
      link_ = link_state::down;
      next_attempt_ = steady_clock::now() + reconnect_backoff(outage_->attempts + 1);
    }
    return {};
  }
  // Down.
  if (attempt_) {
    if (!attempt_->done()) return {};
    const std::string failed = take_attempt();
    if (!failed.empty()) return failed;
    if (link_ == link_state::resuming) return {};
  }
  if (give_up_ && steady_clock::now() >= *give_up_) {
    if (settings_.reconnect_timeout < 0.0) return "the headset did not come back before the end of the run";
    std::ostringstream why;
    why << "the headset did not come back within " << settings_.reconnect_timeout << " s";
    return why.str();
  }
  if (steady_clock::now() >= next_attempt_) start_attempt();
  return {};
}

void headset_stream::begin_outage() {
  // What the old stream delivered up to the loss goes in first.
  while (take_rows(std::chrono::milliseconds(0))) {
  }
  cy_eeg_manager_disconnect(handle());
  while (take_rows(std::chrono::milliseconds(0))) {
  }
  link_outage o;
  o.lost_host_ns = stream::monotonic_now_ns();
  const std::uint64_t next = tally_->next_sample_number();
  last_sample_ = tally_->samples() > 0 ? static_cast<std::int64_t>(next) - 1 : -1;
  const cy_clock_info info = clock_->info();
  axis_rate_hz_ = info.state != CY_CLOCK_UNKNOWN && info.rate_hz > 0.0 ? info.rate_hz : settings_.rate_hz;
  last_host_ns_ = o.lost_host_ns;
  if (last_sample_ >= 0) {
    if (const auto t = clock_->host_time_of(static_cast<double>(last_sample_))) last_host_ns_ = *t;
  }
  o.first_filled = next;
  outage_ = o;
  link_ = link_state::down;
  next_attempt_ = std::chrono::steady_clock::now();
  give_up_.reset();
  // The rest of the run: until a requested length would have been reached.
  double allowed = settings_.reconnect_timeout;
  if (settings_.seconds > 0.0) {
    const double left = settings_.seconds - tally_->seconds();
    allowed = allowed < 0.0 ? left : std::min(allowed, left);
  }
  if (allowed >= 0.0) {
    give_up_ = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(allowed));
  }
}

void headset_stream::start_attempt() {
  ++outage_->attempts;
  attempt_ = std::make_unique<reconnect_attempt>([this] { return reconnect(); });
}

// Runs on the attempt's thread: reads only what stays fixed during the run
// (the settings, the plan, the model), and touches the shared context only
// to start the new stream on it.
std::unique_ptr<device::headset> headset_stream::reconnect() const {
  auto h = std::make_unique<device::headset>(settings_.device, device::firmware_policy::require_compatible);
  if (h->info().id != model_) {
    throw headset_refused(h->name() + " came back as another model (" + h->model_name() + ")");
  }
  const unsigned count = cy_core_device_features_electrode_count(h->features());
  if (count != electrode_count_) {
    throw headset_refused(h->name() + " came back with " + std::to_string(count) + " electrodes instead of " +
                          std::to_string(electrode_count_));
  }
  configure(*h, settings_, context_->plan, electrodes_to_stream(settings_, *h));
  context_->manager = h->handle();
  start_stream(h->handle(), *context_);
  return h;
}

// The attempt is over: the new stream runs, or the next attempt waits.
std::string headset_stream::take_attempt() {
  std::unique_ptr<device::headset> h = attempt_->take_headset();
  const bool refused = attempt_->refused();
  const std::string error = attempt_->error();
  attempt_.reset();
  if (refused || !h) {
    // Whatever a failed attempt's stream sent is not the recording's.
    h.reset();
    resumed_.clear();
    if (refused) return error;
    next_attempt_ = std::chrono::steady_clock::now() + reconnect_backoff(outage_->attempts + 1);
    return {};
  }
  // The lost manager goes: its clock was read at the loss, and nothing may
  // read it from here on.
  clock_->follow(nullptr, offset_);
  headset_ = std::move(h);
  link_ = link_state::resuming;
  resumed_at_ = std::chrono::steady_clock::now();
  return {};
}

// Places the new stream's first rows on the recording's axis, by its clock,
// or by the arrival of its first rows when that clock is not known.
std::string headset_stream::place_resumed(bool without_clock) {
  if (link_ != link_state::resuming) return {};
  cy_clock_info info{};
  const bool known = cy_eeg_manager_get_clock_info(handle(), &info) == CY_OK && info.state != CY_CLOCK_UNKNOWN;
  if (known && info.rate_hz > 0.0 && std::fabs(info.rate_hz / axis_rate_hz_ - 1.0) > 0.01) {
    std::ostringstream why;
    why.precision(1);
    why << std::fixed << headset_->name() << " came back at " << info.rate_hz << " Hz instead of " << axis_rate_hz_
        << " Hz";
    // Refused, never appended: its stream ends here and the outage stays open.
    cy_eeg_manager_disconnect(handle());
    resumed_.clear();
    link_ = link_state::down;
    return why.str();
  }
  if (!known && !without_clock) return {};
  if (resumed_.empty() && !known) {
    // Nothing arrived yet to place: stay resuming until it does, unless the
    // run is ending.
    if (!without_clock) return {};
  }
  std::int64_t first_host = stream::monotonic_now_ns();
  std::int64_t t = 0;
  if (known && cy_eeg_manager_time_of_sample(handle(), 0.0, &t) == CY_OK) {
    first_host = t;
  } else if (!resumed_.empty()) {
    // Late, never early: the first rows were acquired before they arrived.
    const auto& first = resumed_.front();
    const double carried = static_cast<double>(first.sample_numbers.empty() ? 0 : first.sample_numbers.back() + 1);
    first_host = first_arrival_ns_ - static_cast<std::int64_t>(carried / axis_rate_hz_ * 1e9);
  }
  link_outage& o = *outage_;
  if (last_sample_ < 0) {
    // Nothing recorded before: the new stream is the recording's start.
    offset_ = 0;
    o.seconds = static_cast<double>(first_host - o.lost_host_ns) * 1e-9;
  } else {
    cy_stream_resume r{};
    if (cy_stream_resume_position(last_sample_, last_host_ns_, first_host, axis_rate_hz_, &r) != CY_OK) {
      r.first_sample = last_sample_ + 1;
    }
    offset_ = r.first_sample;
    o.filled = r.filled;
    o.seconds = r.gap_s;
    // The filled samples are timed by the new stream's clock too, before its start.
    clock_->follow(handle(), offset_);
    fill_outage(r.filled);
  }
  o.recovered = true;
  outages_.push_back(o);
  outage_.reset();
  link_ = link_state::up;
  clock_->follow(handle(), offset_);
  for (; !resumed_.empty(); resumed_.pop_front()) {
    recording::sample_block& rows = resumed_.front();
    for (auto& n : rows.sample_numbers) n += static_cast<std::uint64_t>(offset_);
    feed(rows);
  }
  return {};
}

// The samples the headset acquired while the link was down, as filler rows
// (zero, streaming 0, like lost packets), marked as one outage.
void headset_stream::fill_outage(std::uint64_t count) {
  if (count == 0) return;
  tally_->label_next_gap(link_lost_text);
  for (const auto& s : sinks_) {
    try {
      s->label_next_gap(link_lost_text);
    } catch (const std::runtime_error& e) {
      note_failure(*s, e.what());
    }
  }
  const std::size_t signals = context_->plan.signals.size();
  const std::uint64_t per_block = std::max<std::uint64_t>(settings_.rate_hz, 1);
  std::uint64_t next = static_cast<std::uint64_t>(last_sample_) + 1;
  for (std::uint64_t left = count; left > 0;) {
    const std::uint64_t n = std::min(left, per_block);
    recording::sample_block rows;
    rows.reset(signals);
    for (std::uint64_t i = 0; i < n; ++i) rows.sample_numbers.push_back(next + i);
    rows.streaming.assign(n, 0);
    for (auto& column : rows.signals) column.assign(n, 0.0);
    feed(rows);
    next += n;
    left -= n;
  }
}

std::int64_t headset_stream::sample_by_host_time(std::int64_t host_time_ns) const {
  const double after = static_cast<double>(host_time_ns - last_host_ns_) * 1e-9 * axis_rate_hz_;
  return last_sample_ + std::max<std::int64_t>(1, std::llround(after));
}

std::vector<link_outage> headset_stream::outages() const {
  std::vector<link_outage> all = outages_;
  if (outage_) {
    link_outage o = *outage_;
    o.seconds = static_cast<double>(stream::monotonic_now_ns() - o.lost_host_ns) * 1e-9;
    all.push_back(o);
  }
  return all;
}

}  // namespace calyra::session
