// `calyra stream` (and `calyra view`): the command line turned into a
// session, assembled here. A new sink or event source is one line below.
#include <memory>
#include <optional>

#include "library/core_session.h"
#include "app/interrupt.h"
#include "commands/commands.h"
#include "recording/recording_naming.h"
#include "session/stream_session.h"
#include "sinks/recording_sink.h"
#include "sources/typed_lines_source.h"
#include "view/stream_view.h"

namespace calyra::commands {
namespace {

session::headset_settings headset_settings_of(const cli::stream_options& o) {
  session::headset_settings s;
  s.device = o.device;
  s.rate_hz = o.rate_hz;
  s.gain = o.gain;
  s.electrodes = o.electrodes;
  s.contact = o.contact;
  s.accel = o.accel;
  s.impedance = o.impedance;
  s.seconds = o.seconds;
  s.grading = {o.bandpass, o.notch_hz};
  s.reconnect_timeout = o.reconnect_timeout;
  return s;
}

sinks::recording_settings recording_settings_of(const cli::stream_options& o) {
  return {o.subject, o.session, o.note, o.bandpass_text, {o.bandpass, o.notch_hz}, o.filter_output};
}

}  // namespace

// The objects are declared in the order their teardown needs reversed: the
// reserved names outlive the library, the library the session.
int run_stream(const cli::global_options& global, const cli::stream_options& o) {
  app::install_interrupt_handlers();
  std::optional<recording::out_path_naming> naming;
  if (!o.out_path.empty()) naming.emplace(o.out_path);
  std::unique_ptr<recording::recording_files> files;
  if (naming) files = std::make_unique<recording::recording_files>(naming->names_for(o.device), o.overwrite);
  library::core_session core(global, {o.chunk_size, {}});

  session::stream_session run({o.seconds, o.stall_timeout, o.out_path});
  session::headset_stream& h = run.add_headset(headset_settings_of(o));
  if (files) h.add_sink(std::make_unique<sinks::recording_sink>(h, std::move(files), recording_settings_of(o)));
  if (o.view.enabled) {
    const auto live = view::open_stream_view(o.view, h, o.out_path, o.seconds);
    h.add_sink(std::make_unique<view::view_sink>(live, h));
    run.add_source(std::make_unique<view::view_annotations>(live));
  }
  run.add_source(std::make_unique<sources::typed_lines_source>([&run](int n) { run.lines_echoed(n); }));
  return run.run();
}

}  // namespace calyra::commands
