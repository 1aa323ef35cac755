#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "app/core_session.h"
#include "app/failure.h"
#include "app/headset.h"
#include "app/interrupt.h"
#include "commands/commands.h"
#include "display/output_capture.h"
#include "display/progress_bar.h"
#include "display/status_display.h"
#include "recording/events.h"
#include "recording/json_sidecar.h"
#include "recording/output_file.h"
#include "stream/chunk_queue.h"
#include "stream/manager_clock.h"
#include "stream/recording_pipeline.h"
#include "stream/stall_watch.h"
#include "stream/stream_channels.h"
#include "stream/timed_lines.h"
#include "view/stream_view.h"

namespace calyra::commands {
namespace {

using clock = std::chrono::steady_clock;

// Shared with the BLE thread: the chunk and disconnect callbacks.
struct stream_context {
  stream::stream_plan plan;
  cy_eeg_manager* manager = nullptr;
  stream::chunk_queue queue{256};
  std::atomic<bool> link_lost{false};
};

// Runs on the BLE thread inside the manager's stream lock: copy and leave.
void on_chunk(const void* const* channel_data, std::size_t sample_count, void* user_data) {
  auto& ctx = *static_cast<stream_context*>(user_data);
  const std::uint8_t* types = nullptr;
  std::size_t type_count = 0;
  cy_eeg_manager_get_stream_channel_data_types(ctx.manager, &types, &type_count);
  recording::sample_block block;
  stream::convert_chunk(ctx.plan, channel_data, types, type_count, sample_count, block);
  ctx.queue.push(std::move(block));
}

void on_disconnect(void* user_data) {
  static_cast<stream_context*>(user_data)->link_lost = true;
}

// Ends the queue's back-pressure before the manager goes away, on every
// path: freeing the manager waits for a chunk callback in progress, which
// must not be stuck waiting for queue space.
struct release_queue_first {
  stream_context& ctx;
  ~release_queue_first() { ctx.queue.stop_waiting(); }
};

int terminal_columns() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
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

std::vector<unsigned> electrodes_to_stream(const cli::stream_options& o, const app::headset& h) {
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

void configure(const app::headset& h, const cli::stream_options& o, const stream::stream_plan& plan,
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

std::vector<display::electrode_status> electrode_statuses(const stream::stream_plan& plan,
                                                          stream::recording_pipeline& pipeline,
                                                          bool impedance) {
  std::vector<display::electrode_status> result;
  const auto& grades = pipeline.quality().latest();
  for (std::size_t i = 0; i < plan.electrode_signals.size(); ++i) {
    display::electrode_status s;
    s.label = plan.signals[plan.electrode_signals[i]].label;
    if (impedance) {
      s.grade = "n/a";
    } else {
      s.grade = quality::grade_word(grades[i].grade);
      s.reason = grades[i].reason;
    }
    result.push_back(std::move(s));
  }
  return result;
}

// Samples per packet of the running stream, from the library's counts: every
// lost packet of a stream has the stream's packet size, so the filled samples
// divide exactly (impedance mode included). 0 while nothing was lost.
std::uint64_t samples_per_lost_packet(cy_eeg_manager* manager) {
  cy_stream_stats counts{};
  if (cy_eeg_manager_get_stream_stats(manager, &counts) != CY_OK || counts.missed_packets == 0) return 0;
  return counts.filled_samples / counts.missed_packets;
}

// Packets lost within what was recorded (the stream may run on past the
// requested length until the stop).
std::uint64_t missed_packets(cy_eeg_manager* manager, const stream::recording_pipeline& pipeline) {
  return pipeline.missed_packets(samples_per_lost_packet(manager));
}

display::stream_status status_of(const stream_context& ctx, stream::recording_pipeline& pipeline,
                                 const cli::stream_options& o) {
  display::stream_status s;
  s.elapsed_seconds = pipeline.seconds();
  s.target_seconds = o.seconds;
  s.samples = pipeline.samples();
  s.missed_packets = missed_packets(ctx.manager, pipeline);
  s.lost_samples = pipeline.lost_samples();
  s.annotations = pipeline.annotations();
  s.electrodes = electrode_statuses(ctx.plan, pipeline, o.impedance);
  return s;
}

// Places a line from standard input, or from the page's box, at the sample
// acquired when it arrived (`arrival_ns`, CLOCK_MONOTONIC), and hands it to
// the recording. Returns the line shown, and whether it was stored.
calyra::view::annotation_outcome annotate(cy_eeg_manager* m, const std::string& text, stream::recording_pipeline& pipeline,
                                  display::status_display& view, unsigned rate_hz, std::int64_t arrival_ns) {
  std::int64_t sample = 0;
  std::string note;
  cy_error result = cy_eeg_manager_annotate_at(m, text.c_str(), arrival_ns);
  if (result == CY_NOT_STREAMING) {
    // The stream clock is known about a second into the stream; until then
    // the start-of-stream estimate places it (from the first packets on).
    result = cy_eeg_manager_annotate(m, text.c_str());
    note = " (stream clock not known yet: placed by the start-of-stream estimate)";
  }
  if (result == CY_OK) {
    cy_annotation* all = nullptr;
    std::size_t count = 0;
    cy_eeg_manager_get_annotations(m, &all, &count);
    if (count > 0) sample = all[count - 1].sample_number;
  } else if (result == CY_NOT_STREAMING) {
    // Before the first packets nothing is timed: the newest received sample
    // is the best estimate.
    sample = static_cast<std::int64_t>(pipeline.next_sample_number());
    note = " (stream timing not known yet: placed at the newest sample)";
  } else {
    bool changed = false;
    const std::string refused = "annotation \"" + recording::clean_annotation_text(text, changed) + "\" not stored: " +
                                app::error_name(result) + " (" + app::error_meaning(result) + ")";
    view.message(refused);
    return {false, refused};
  }
  const std::string stored = pipeline.annotate(sample, text);
  std::ostringstream line;
  line << "annotation \"" << stored << "\" at sample " << sample << " ("
       << static_cast<double>(sample) / rate_hz << " s)" << note;
  view.message(line.str());
  return {true, line.str()};
}

std::string prefilter_text(const cli::stream_options& o) {
  if (!o.filter_output) return {};
  return quality::describe_output_filter({o.bandpass, o.notch_hz});
}

void print_summary(std::ostream& out, const stream_context& ctx, stream::recording_pipeline& pipeline,
                   const cli::stream_options& o, const std::string& stop_reason,
                   const std::vector<std::string>& files, const std::string& clock) {
  out << "Summary" << (stop_reason.empty() ? "" : " (" + stop_reason + ")") << '\n';
  out << "  Duration        " << display::format_seconds(pipeline.seconds()) << " ("
      << pipeline.samples() << " samples at " << o.rate_hz << " Hz)\n";
  out << "  Missed packets  " << missed_packets(ctx.manager, pipeline) << " (" << pipeline.lost_samples()
      << " samples filled)\n";
  out << "  Clock           " << clock << '\n';
  out << "  Annotations     " << pipeline.annotations() << '\n';
  for (const std::string& remark : pipeline.remarks()) out << "                  " << remark << '\n';
  for (std::size_t i = 0; i < files.size(); ++i) {
    out << (i == 0 ? "  Recording       " : "                  ") << files[i] << '\n';
  }
  out << "  Quality        ";
  for (const display::electrode_status& e : electrode_statuses(ctx.plan, pipeline, o.impedance)) {
    out << ' ' << e.label << ' ' << e.grade;
    if (!e.reason.empty()) out << " (" << e.reason << ")";
  }
  out << std::endl;
}

// Stops the stream on a helper thread, so that a second Ctrl-C can stop
// waiting for a headset that does not answer: the recording is then closed
// without it. Returns nullopt when the stop was abandoned (the helper thread
// is then still inside the library, and the program must end without
// touching the headset again).
std::optional<cy_error> stop_stream_patiently(cy_eeg_manager* manager) {
  auto result = std::make_shared<std::atomic<int>>(-1);
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

struct recording_files {
  recording::output_file data;
  recording::output_file events;
  recording::output_file description;

  recording_files(const std::string& path, bool overwrite)
      : data(path, overwrite),
        events(recording::events_path_for(path), overwrite),
        description(recording::json_path_for(path), overwrite) {}

  // The sidecars first: the recording's own name appears last, complete.
  void commit() {
    events.commit();
    description.commit();
    data.commit();
  }
};

// The screen while streaming: the live block (or plain lines) with the
// library's own output captured above it.
struct stream_screen {
  bool terminal = isatty(STDOUT_FILENO) != 0;
  // The library's own lines (lost packets, ...) go above the live block; in
  // a pipe they pass through unchanged.
  display::output_capture capture{terminal};
  display::status_display view{capture.display(), terminal, terminal_columns()};
};

// What the steps of a stream share once it runs.
struct stream_run {
  const cli::stream_options& o;
  app::headset& h;
  stream_context& ctx;
  stream::recording_pipeline& pipeline;
  view::live_view* live;
  stream_screen& screen;
};

// How the loop ended.
struct loop_outcome {
  std::string stop_reason;        // empty: the requested length was reached
  std::string failure;            // why the recording could not be written
  std::uint64_t shown_samples = 0;  // samples in the last plain status line
  std::optional<cy_error> stopped;  // nullopt: the stop was abandoned
  std::string stall;                // what a stream that stopped delivering showed, empty: none
};

// Reserves the output names, so that an unusable or taken path is reported
// before anything touches a headset.
void reserve_files(const cli::stream_options& o, std::optional<recording_files>& files) {
  if (o.out_path.empty()) return;
  files.emplace(o.out_path, o.overwrite);
  app::discard_on_exit(files->data.temporary_path().c_str());
  app::discard_on_exit(files->events.temporary_path().c_str());
  app::discard_on_exit(files->description.temporary_path().c_str());
}

// Checks the options against the headset, plans the signals and sends the
// configuration.
void plan_and_configure(const app::headset& h, const cli::stream_options& o, stream_context& ctx) {
  const std::vector<unsigned> electrodes = electrodes_to_stream(o, h);
  if (o.accel && !cy_core_device_features_has_accel(h.features())) {
    throw app::command_failure(h.name() + " (" + h.model_name() + ") has no accelerometer");
  }
  ctx.plan = stream::plan_stream({electrodes, o.contact, o.accel, o.impedance, o.gain});
  ctx.manager = h.handle();
  configure(h, o, ctx.plan, electrodes);
}

recording::recording_layout layout_of(const app::headset& h, const cli::stream_options& o,
                                      const stream::stream_plan& plan) {
  recording::recording_layout layout;
  layout.signals = plan.signals;
  layout.sample_rate_hz = o.rate_hz;
  layout.equipment = "Calyra " + h.model_name() + " fw " + app::version_text(h.info().firmware_version);
  layout.prefilter = prefilter_text(o);
  layout.subject = o.subject;
  layout.session = o.session;
  layout.note = o.note;
  layout.file_name = o.out_path;
  layout.start_time = std::chrono::system_clock::now();
  return layout;
}

stream::pipeline_settings pipeline_settings_of(const cli::stream_options& o,
                                               const std::optional<recording_files>& files) {
  stream::pipeline_settings settings;
  settings.rate_hz = o.rate_hz;
  settings.target_samples =
      o.seconds > 0.0 ? std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::llround(o.seconds * o.rate_hz)))
                      : 0;
  settings.filters.bandpass = o.bandpass;
  settings.filters.notch_hz = o.notch_hz;
  settings.filter_output = o.filter_output;
  if (files) {
    settings.events_path = files->events.temporary_path();
    settings.events_name = files->events.final_path();
  }
  return settings;
}

void start_streaming(const app::headset& h, stream_context& ctx) {
  cy_eeg_manager_set_callback_chunk(h.handle(), on_chunk, &ctx);
  cy_eeg_manager_set_callback_disconnect(h.handle(), on_disconnect, &ctx);
  const cy_error started = cy_eeg_manager_start_stream(h.handle(), nullptr, nullptr);
  if (started != CY_OK) throw app::command_failure::from_code(started, "starting the stream");
  app::recording_started();
}

// Hands queued chunks to the pipeline; the first write error is kept.
void take_blocks(stream::recording_pipeline& pipeline, std::deque<recording::sample_block>& pending,
                 std::string& failure) {
  for (; !pending.empty(); pending.pop_front()) {
    try {
      pipeline.accept(pending.front());
    } catch (const recording::recording_error& e) {
      if (failure.empty()) failure = e.what();
    }
  }
}

// The reason to stop now, or empty to go on.
std::string reason_to_stop(const stream_run& run, const loop_outcome& outcome) {
  if (!outcome.failure.empty()) return "the file could not be written";
  if (!outcome.stall.empty()) return "the stream stalled";
  if (app::interrupt_requested()) return app::interrupt_reason();
  if (run.ctx.link_lost) return "the headset disconnected";
  return {};
}

// Records until the length is reached, the user stops, the link drops or the
// file fails; then stops the stream and takes its last samples.
loop_outcome record_until_stopped(stream_run& run) {
  const cli::stream_options& o = run.o;
  display::status_display& view = run.screen.view;
  const bool terminal = run.screen.terminal;
  // A program in the background must not read the terminal: the read would stop it.
  const bool read_input = isatty(STDIN_FILENO) == 0 || tcgetpgrp(STDIN_FILENO) == getpgrp();
  stream::timed_lines input(read_input ? STDIN_FILENO : -1);
  const bool typing_echoes = terminal && isatty(STDIN_FILENO) != 0;
  std::deque<recording::sample_block> blocks;
  auto next_redraw = clock::now();
  std::uint64_t next_line_at = o.rate_hz;  // plain output: one line per second of stream
  stream::stall_watch stalls(o.stall_timeout);
  loop_outcome outcome;

  while (true) {
    run.ctx.queue.pop_all(blocks, std::chrono::milliseconds(20));
    take_blocks(run.pipeline, blocks, outcome.failure);
    const std::vector<stream::timed_line> lines = input.take();
    if (typing_echoes) view.lines_echoed(static_cast<int>(lines.size()));
    for (const stream::timed_line& line : lines) {
      annotate(run.h.handle(), line.text, run.pipeline, view, o.rate_hz, line.arrival_ns);
    }
    if (run.live) {  // typed into the page
      run.live->place_annotation_requests([&](const calyra::view::annotation_request& r) {
        return annotate(run.h.handle(), r.text, run.pipeline, view, o.rate_hz, r.arrival_ns);
      });
    }
    for (const std::string& line : run.screen.capture.lines()) view.message(line);
    if (!o.impedance && run.pipeline.quality().due()) run.pipeline.quality().evaluate();

    if (run.live && run.live->status_due()) {
      run.live->publish_status(status_of(run.ctx, run.pipeline, o),
                               cy_eeg_manager_get_battery_info(run.h.handle()));
    }
    if (terminal && clock::now() >= next_redraw) {
      view.show(status_of(run.ctx, run.pipeline, o));
      next_redraw = clock::now() + std::chrono::milliseconds(250);
    } else if (!terminal && run.pipeline.samples() >= next_line_at) {
      view.show(status_of(run.ctx, run.pipeline, o));
      outcome.shown_samples = run.pipeline.samples();
      next_line_at += o.rate_hz;
    }

    if (run.pipeline.target_reached()) break;
    outcome.stall = stalls.check(run.pipeline, o.rate_hz);
    outcome.stop_reason = reason_to_stop(run, outcome);
    if (!outcome.stop_reason.empty()) break;
  }
  // Lines the reading thread took in after this round's look are part of
  // the recording too: they arrived before it ended.
  for (const stream::timed_line& line : input.take()) {
    annotate(run.h.handle(), line.text, run.pipeline, view, o.rate_hz, line.arrival_ns);
  }

  // The stop delivers the last chunk on the stopping thread; the queue must not block it.
  run.ctx.queue.stop_waiting();
  outcome.stopped = stop_stream_patiently(run.h.handle());
  while (run.ctx.queue.pop_all(blocks, std::chrono::milliseconds(0))) {
    take_blocks(run.pipeline, blocks, outcome.failure);
  }
  if (!o.impedance && run.pipeline.quality().new_samples() > 0) run.pipeline.quality().evaluate();
  for (const std::string& line : run.screen.capture.lines()) view.message(line);
  return outcome;
}

recording::recording_description description_of(const app::headset& h, const cli::stream_options& o,
                                                 const stream::recording_pipeline& pipeline,
                                                 const recording_files& files, const std::string& stop_reason) {
  recording::recording_description d;
  d.program_version = CALYRA_VERSION;
  d.device_name = h.name();
  d.model = h.model_name();
  d.model_code = h.info().id;
  d.serial_number = std::to_string(h.info().serial_number);
  d.hardware_version = app::version_text(h.info().hardware_version);
  d.firmware_version = app::version_text(h.info().firmware_version);
  d.gain = o.gain;
  d.impedance = o.impedance;
  d.bandpass = o.bandpass_text;
  d.notch_hz = o.notch_hz;
  d.filtered_output = o.filter_output;
  d.samples = pipeline.samples();
  d.missed_packets = missed_packets(h.handle(), pipeline);
  d.lost_samples = pipeline.lost_samples();
  d.annotations = pipeline.annotations();
  d.stop_reason = stop_reason;
  d.recording_file = files.data.final_path();
  d.events_file = files.events.final_path();
  d.first_sample_time = pipeline.first_sample_time();
  d.clock = stream::describe_clock(stream::manager_clock(h.handle()).info());
  return d;
}

// Finishes the recording and its sidecars and gives them their names, before
// anything more is printed: printing can fail or block (a closed pipe, a
// stopped terminal). Returns the names written; a failure lands in `outcome`.
std::vector<std::string> finish_files(stream_run& run, recording_files& files,
                                      const recording::recording_layout& layout, loop_outcome& outcome) {
  try {
    run.pipeline.finish();
  } catch (const recording::recording_error& e) {
    outcome.failure = e.what();  // says what the finished file holds
  }
  try {
    recording::write_json_sidecar(files.description.temporary_path(), layout,
                                   description_of(run.h, run.o, run.pipeline, files, outcome.stop_reason),
                                   files.description.final_path());
  } catch (const recording::recording_error& e) {
    if (outcome.failure.empty()) outcome.failure = e.what();
  }
  try {
    files.commit();
    return {files.data.final_path(), files.events.final_path(), files.description.final_path()};
  } catch (const recording::recording_error& e) {
    if (outcome.failure.empty()) outcome.failure = e.what();
  }
  return {};
}

// The final status, the live view's last word and the summary.
void report_end(stream_run& run, loop_outcome& outcome, std::vector<std::string> written) {
  if (!outcome.stopped && outcome.stop_reason.empty()) outcome.stop_reason = app::interrupt_reason();
  display::status_display& view = run.screen.view;
  // A terminal shows the final state; plain output has its last line already
  // unless samples arrived after it.
  if (run.screen.terminal || run.pipeline.samples() != outcome.shown_samples) {
    view.show(status_of(run.ctx, run.pipeline, run.o));
  }
  view.finish();
  if (run.live) {
    run.live->publish_status(status_of(run.ctx, run.pipeline, run.o),
                             cy_eeg_manager_get_battery_info(run.h.handle()));
    run.live->finish(outcome.stop_reason.empty() ? "the stream is complete" : outcome.stop_reason);
  }
  for (const std::string& line : run.screen.capture.restore()) std::cout << line << '\n';
  if (!outcome.failure.empty() && !written.empty()) written.front() += " (incomplete: see the error below)";
  print_summary(std::cout, run.ctx, run.pipeline, run.o, outcome.stop_reason, written,
                stream::clock_summary(stream::manager_clock(run.h.handle()).info()));
  if (std::cout.fail() && run.pipeline.samples() > 0 && !written.empty() && outcome.failure.empty()) {
    std::cerr << "calyra: standard output was closed; the recording went on and is in " << written.front()
              << std::endl;
  }
}

// The exit status, or the failure thrown for the error line.
int exit_status(const stream_run& run, const loop_outcome& outcome, bool recorded) {
  if (!outcome.stopped) {
    // The stop is still running on its thread, inside the library: leave
    // without waiting for it, and without touching the headset again.
    if (!outcome.failure.empty()) std::cerr << "calyra: error: " << outcome.failure << std::endl;
    std::cerr << "calyra: interrupted twice: left without waiting for the headset to stop" << std::endl;
    std::_Exit(outcome.failure.empty() ? 130 : 1);
  }
  if (!outcome.failure.empty()) throw recording::recording_error(outcome.failure);
  if (!outcome.stall.empty()) {
    const bool saved = recorded && run.pipeline.samples() > 0;
    throw app::command_failure(outcome.stall + (saved ? "; what arrived is saved in " + run.o.out_path
                                                      : recorded ? "; no recording was kept" : ""));
  }
  if (run.ctx.link_lost) {
    throw app::command_failure::from_code(
        CY_CONNECTION_ERROR, "the link to " + run.h.name() + " dropped during the stream" +
                                 (recorded && run.pipeline.samples() > 0
                                      ? " (what arrived is saved in " + run.o.out_path + ")"
                                      : ""));
  }
  if (*outcome.stopped != CY_OK) throw app::command_failure::from_code(*outcome.stopped, "stopping the stream");
  return app::interrupt_insisted() ? 130 : 0;
}

}  // namespace

// Open (output names, headset, configuration, recording, start), loop until
// a reason to stop, finish (files, report, exit status). The objects are
// declared in the order their teardown needs reversed.
int run_stream(const cli::global_options& global, const cli::stream_options& o) {
  app::install_interrupt_handlers();
  std::optional<recording_files> files;
  reserve_files(o, files);
  app::core_session core(global, {o.chunk_size, {}});
  stream_context ctx;  // outlives the headset: its callbacks point here
  app::headset h(o.device, app::firmware_policy::require_compatible);
  release_queue_first release{ctx};
  if (app::interrupt_requested()) throw app::command_failure("interrupted before the stream started");
  plan_and_configure(h, o, ctx);

  const recording::recording_layout layout = layout_of(h, o, ctx.plan);
  std::unique_ptr<recording::recording_writer> writer;
  if (files) {
    writer = recording::open_recording(files->data.temporary_path(),
                                       recording::recording_format_of(o.out_path), layout);
  }
  const stream::manager_clock stream_clock(h.handle());
  stream::recording_pipeline pipeline(ctx.plan.signals, ctx.plan.electrode_signals,
                                      pipeline_settings_of(o, files), std::move(writer));
  pipeline.set_clock(&stream_clock);
  if (files) {
    // Written now with what is known, so that a run that never finishes
    // still leaves its description; again once the start is known.
    const auto describe_so_far = [&] {
      recording::recording_description d = description_of(h, o, pipeline, *files, {});
      d.state = "recording";
      recording::write_json_sidecar(files->description.temporary_path(), layout, d,
                                     files->description.final_path());
    };
    describe_so_far();
    pipeline.on_start_settled(describe_so_far);
  }
  const auto live =
      view::open_stream_view(o, ctx.plan, h.name() + " (" + h.model_name() + ")", pipeline);
  start_streaming(h, ctx);

  stream_screen screen;
  stream_run run{o, h, ctx, pipeline, live.get(), screen};
  loop_outcome outcome = record_until_stopped(run);

  std::vector<std::string> written;
  if (files && pipeline.samples() > 0) written = finish_files(run, *files, layout, outcome);
  // A run that never received a sample leaves no file: a recording without
  // a data record is not one that readers open.
  const bool nothing_came = files && pipeline.samples() == 0;
  if (nothing_came) written = {"none: no sample arrived"};
  report_end(run, outcome, written);
  return exit_status(run, outcome, files.has_value());
}

}  // namespace calyra::commands
