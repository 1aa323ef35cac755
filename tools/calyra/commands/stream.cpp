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

#include "app/core_session.h"
#include "app/failure.h"
#include "app/headset.h"
#include "app/interrupt.h"
#include "commands/commands.h"
#include "display/progress_bar.h"
#include "display/status_display.h"
#include "recording/output_file.h"
#include "stream/chunk_queue.h"
#include "stream/line_reader.h"
#include "stream/recording_pipeline.h"
#include "stream/stream_channels.h"
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

display::stream_status status_of(const stream::stream_plan& plan, stream::recording_pipeline& pipeline,
                                 const cli::stream_options& o) {
  display::stream_status s;
  s.elapsed_seconds = pipeline.seconds();
  s.target_seconds = o.seconds;
  s.samples = pipeline.samples();
  s.missed_packets = pipeline.missed_packets();
  s.lost_samples = pipeline.lost_samples();
  s.annotations = pipeline.annotations();
  s.electrodes = electrode_statuses(plan, pipeline, o.impedance);
  return s;
}

// Stamps a line from standard input and hands it to the recording.
void annotate(cy_eeg_manager* m, const std::string& text, stream::recording_pipeline& pipeline,
              display::status_display& view, unsigned rate_hz) {
  std::int64_t sample = 0;
  std::string note;
  const cy_error result = cy_eeg_manager_annotate(m, text.c_str());
  if (result == CY_OK) {
    cy_annotation* all = nullptr;
    std::size_t count = 0;
    cy_eeg_manager_get_annotations(m, &all, &count);
    if (count > 0) sample = all[count - 1].sample_number;
  } else if (result == CY_NOT_STREAMING) {
    // The library times annotations once it has seen the first packets;
    // until then the newest received sample is the best estimate.
    sample = static_cast<std::int64_t>(pipeline.next_sample_number());
    note = " (stream timing not known yet: placed at the newest sample)";
  } else {
    view.message("annotation \"" + text + "\" not stored: " + app::error_name(result) + " (" +
                 app::error_meaning(result) + ")");
    return;
  }
  pipeline.annotate(sample, text);
  std::ostringstream line;
  line << "annotation \"" << text << "\" at sample " << sample << " ("
       << static_cast<double>(sample) / rate_hz << " s)" << note;
  view.message(line.str());
}

void print_summary(const stream::stream_plan& plan, stream::recording_pipeline& pipeline,
                   const cli::stream_options& o, const std::string& stop_reason) {
  std::ostream& out = std::cout;
  out << "Summary" << (stop_reason.empty() ? "" : " (" + stop_reason + ")") << '\n';
  out << "  Duration        " << display::format_seconds(pipeline.seconds()) << " ("
      << pipeline.samples() << " samples at " << o.rate_hz << " Hz)\n";
  out << "  Missed packets  " << pipeline.missed_packets() << " (" << pipeline.lost_samples()
      << " samples filled)\n";
  out << "  Annotations     " << pipeline.annotations() << '\n';
  if (!o.out_path.empty()) out << "  Recording       " << o.out_path << '\n';
  out << "  Quality        ";
  for (const display::electrode_status& e : electrode_statuses(plan, pipeline, o.impedance)) {
    out << ' ' << e.label << ' ' << e.grade;
    if (!e.reason.empty()) out << " (" << e.reason << ")";
  }
  out << std::endl;
}

}  // namespace

int run_stream(const cli::global_options& global, const cli::stream_options& o) {
  app::install_interrupt_handlers();
  // An unusable output path is reported before anything touches a headset.
  std::optional<recording::output_file> output;
  if (!o.out_path.empty()) output.emplace(o.out_path);

  app::core_session core(global, {o.chunk_size, {}});
  stream_context ctx;  // outlives the headset: its callbacks point here
  app::headset h(o.device, app::firmware_policy::require_compatible);
  release_queue_first release{ctx};
  if (app::interrupt_requested()) throw app::command_failure("interrupted before the stream started");

  const std::vector<unsigned> electrodes = electrodes_to_stream(o, h);
  if (o.accel && !cy_core_device_features_has_accel(h.features())) {
    throw app::command_failure(h.name() + " (" + h.model_name() + ") has no accelerometer");
  }
  ctx.plan = stream::plan_stream({electrodes, o.contact, o.accel, o.impedance, o.gain});
  ctx.manager = h.handle();
  configure(h, o, ctx.plan, electrodes);

  recording::recording_layout layout;
  layout.signals = ctx.plan.signals;
  layout.sample_rate_hz = o.rate_hz;
  layout.equipment = "Calyra " + h.model_name() + " fw " + app::version_text(h.info().firmware_version);
  layout.start_time = std::chrono::system_clock::now();
  std::unique_ptr<recording::recording_writer> writer;
  if (output) {
    writer = recording::open_recording(output->temporary_path(),
                                       recording::recording_format_of(o.out_path), layout);
  }
  stream::pipeline_settings settings;
  settings.rate_hz = o.rate_hz;
  settings.target_samples =
      o.seconds > 0.0 ? std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::llround(o.seconds * o.rate_hz)))
                      : 0;
  settings.filters.bandpass = o.bandpass;
  settings.filters.notch_hz = o.notch_hz;
  settings.filter_output = o.filter_output;
  stream::recording_pipeline pipeline(ctx.plan.signals, ctx.plan.electrode_signals, settings,
                                      std::move(writer));
  const auto live =
      view::open_stream_view(o, ctx.plan, h.name() + " (" + h.model_name() + ")", pipeline);

  cy_eeg_manager_set_callback_chunk(h.handle(), on_chunk, &ctx);
  cy_eeg_manager_set_callback_disconnect(h.handle(), on_disconnect, &ctx);
  const cy_error started = cy_eeg_manager_start_stream(h.handle(), nullptr, nullptr);
  if (started != CY_OK) throw app::command_failure::from_code(started, "starting the stream");

  const bool terminal = isatty(STDOUT_FILENO) != 0;
  display::status_display view(std::cout, terminal, terminal_columns());
  // A program in the background must not read the terminal: the read would stop it.
  const bool read_input = isatty(STDIN_FILENO) == 0 || tcgetpgrp(STDIN_FILENO) == getpgrp();
  stream::line_reader input(read_input ? STDIN_FILENO : -1);
  const bool typing_echoes = terminal && isatty(STDIN_FILENO) != 0;
  std::deque<recording::sample_block> blocks;
  auto next_redraw = clock::now();
  std::uint64_t next_line_at = o.rate_hz;  // plain output: one line per second of stream
  std::string stop_reason;

  while (true) {
    ctx.queue.pop_all(blocks, std::chrono::milliseconds(20));
    for (; !blocks.empty(); blocks.pop_front()) pipeline.accept(blocks.front());
    std::vector<std::string> lines = input.read_available(0);
    if (typing_echoes) view.lines_echoed(static_cast<int>(lines.size()));
    if (live) live->take_annotation_requests(lines);  // typed into the page
    for (const std::string& line : lines) annotate(h.handle(), line, pipeline, view, o.rate_hz);
    if (!o.impedance && pipeline.quality().due()) pipeline.quality().evaluate();

    if (live && live->status_due()) {
      live->publish_status(status_of(ctx.plan, pipeline, o), cy_eeg_manager_get_battery_info(h.handle()));
    }
    if (terminal && clock::now() >= next_redraw) {
      view.show(status_of(ctx.plan, pipeline, o));
      next_redraw = clock::now() + std::chrono::milliseconds(250);
    } else if (!terminal && pipeline.samples() >= next_line_at) {
      view.show(status_of(ctx.plan, pipeline, o));
      next_line_at += o.rate_hz;
    }

    if (pipeline.target_reached()) break;
    if (app::interrupt_requested()) {
      stop_reason = "stopped by Ctrl-C";
      break;
    }
    if (ctx.link_lost) {
      stop_reason = "the headset disconnected";
      break;
    }
  }

  // The stop delivers the last chunk on this thread; the queue must not block it.
  ctx.queue.stop_waiting();
  const cy_error stopped = cy_eeg_manager_stop_stream(h.handle(), nullptr, nullptr);
  while (ctx.queue.pop_all(blocks, std::chrono::milliseconds(0))) {
    for (; !blocks.empty(); blocks.pop_front()) pipeline.accept(blocks.front());
  }
  if (!o.impedance && pipeline.quality().new_samples() > 0) pipeline.quality().evaluate();
  // A terminal shows the final state; plain output has its last line already
  // unless samples arrived after it.
  if (terminal || pipeline.samples() + o.rate_hz > next_line_at) view.show(status_of(ctx.plan, pipeline, o));
  view.finish();
  if (live) {
    live->publish_status(status_of(ctx.plan, pipeline, o), cy_eeg_manager_get_battery_info(h.handle()));
    live->finish(stop_reason.empty() ? "the stream is complete" : stop_reason);
  }

  pipeline.finish();
  if (output) output->commit();
  print_summary(ctx.plan, pipeline, o, stop_reason);

  if (ctx.link_lost) {
    throw app::command_failure::from_code(
        CY_CONNECTION_ERROR, "the link to " + h.name() + " dropped during the stream" +
                                 (output ? " (what arrived is saved in " + o.out_path + ")" : ""));
  }
  if (stopped != CY_OK) throw app::command_failure::from_code(stopped, "stopping the stream");
  return 0;
}

}  // namespace calyra::commands
