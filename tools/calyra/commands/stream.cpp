// `calyra stream` (and `calyra view`): the command line turned into a
// session, assembled here. A new sink or event source is one line below.
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bids/dataset_sink.h"
#include "bids/staged_recording.h"
#include "library/core_session.h"
#include "app/failure.h"
#include "app/interrupt.h"
#include "commands/lsl_run.h"
#include "commands/commands.h"
#include "recording/recording_naming.h"
#include "session/stream_session.h"
#include "sinks/recording_sink.h"
#include "sinks/session_index.h"
#include "sources/typed_lines_source.h"
#include "view/headsets_page.h"
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
  return {o.subject, o.session, o.note, o.bandpass_text, {o.bandpass, o.notch_hz}, o.filter_output, {}};
}

// Reserves the names of every recording before any headset is touched, so
// that an unusable or taken path is reported first: FILE as given for one
// headset, FILE_<headset> and the session's FILE.json for several; in a
// dataset, the hidden name each recording is staged under until it is
// placed (several headsets differ in their acquisition label).
struct session_files {
  std::vector<std::unique_ptr<recording::recording_files>> per_headset;
  std::vector<std::string> data_paths;
  std::unique_ptr<sinks::session_index> index;
  std::vector<std::string> staged;  // in a BIDS dataset: each headset's staging path, else empty
  std::string dataset_root;

  explicit session_files(const cli::stream_options& o) {
    if (!o.bids.root.empty()) {
      stage_in_dataset(o);
      return;
    }
    if (o.out_path.empty()) return;
    const recording::out_path_naming one(o.out_path);
    const recording::per_headset_naming several(o.out_path);
    const bool single = o.devices.size() == 1;
    for (const std::string& device : o.devices) {
      const recording::recording_names names = single ? one.names_for(device) : several.names_for(device);
      data_paths.push_back(names.data);
      per_headset.push_back(std::make_unique<recording::recording_files>(names, o.overwrite));
    }
    if (!single) index = std::make_unique<sinks::session_index>(several.session_description(), o.overwrite);
  }

  // Every refusal (labels, line frequency, a taken name) comes here, for
  // every headset before any recording is staged.
  void stage_in_dataset(const cli::stream_options& o) {
    dataset_root = o.bids.root;
    std::vector<bids::placement> placements;
    try {
      for (const std::string& device : o.devices) {
        placements.push_back(o.devices.size() == 1 ? bids::placement_from(o.bids)
                                                   : bids::placement_for_one_of_several(o.bids, device));
        for (std::size_t j = 0; j + 1 < placements.size(); ++j) {
          if (placements[j].names.acquisition == placements.back().names.acquisition) {
            throw app::usage_failure("--bids: " + o.devices[j] + " and " + device +
                                     " give the same acquisition label; name each headset once");
          }
        }
        bids::check_placement(placements.back());
      }
      for (const bids::placement& p : placements) staged.push_back(bids::begin_staged(p));
    } catch (const bids::bids_error& e) {
      throw app::usage_failure(e.what());
    }
    for (std::size_t i = 0; i < staged.size(); ++i) {
      const recording::recording_names names = bids::dataset_naming(staged[i]).names_for(o.devices[i]);
      data_paths.push_back(names.data);
      per_headset.push_back(std::make_unique<recording::recording_files>(names, o.overwrite));
    }
  }

  // The headset at `i` was not opened: nothing of it is kept.
  void forget(std::size_t i, const std::string& device) {
    if (!per_headset.empty()) per_headset[i].reset();
    if (index) index->add_missing(device);
    if (!staged.empty()) bids::abandon_staged(staged[i]);
  }

  // The recording, placed in its dataset when it ends if it is staged.
  std::unique_ptr<session::sink> make_recording_sink(session::headset_stream& h, std::size_t i,
                                                     sinks::recording_settings settings) {
    auto sink = std::make_unique<sinks::recording_sink>(h, std::move(per_headset[i]), std::move(settings));
    if (staged.empty()) return sink;
    return std::make_unique<bids::dataset_sink>(std::move(sink), staged[i]);
  }

  std::string session_path(const cli::stream_options& o) const {
    if (index) return index->path();
    if (staged.size() == 1) return staged.front();
    return staged.empty() ? o.out_path : dataset_root;
  }
};

// Connects to each headset in turn; a headset that cannot be opened ends
// the run before anything streams, unless --allow-missing lets the others
// go on without it.
void add_headsets(session::stream_session& run, const cli::stream_options& o, session_files& files,
                  std::optional<lsl_run>& lsl) {
  std::size_t opened = 0;
  for (std::size_t i = 0; i < o.devices.size(); ++i) {
    session::headset_settings settings = headset_settings_of(o);
    settings.device = o.devices[i];
    session::headset_stream* h = nullptr;
    try {
      h = &run.add_headset(settings);
    } catch (const app::command_failure& e) {
      if (!o.allow_missing || app::interrupt_requested()) throw;
      std::cerr << "calyra: warning: " << e.what() << "; recording the other headsets" << std::endl;
      files.forget(i, o.devices[i]);
      continue;
    }
    ++opened;
    // First among the sinks: LSL consumers get each chunk before the files
    // are written.
    sinks::recording_settings recording = recording_settings_of(o);
    if (lsl) {
      std::optional<filtering::filter_settings> pushed_filters;
      if (o.filter_output) pushed_filters = filtering::filter_settings{o.bandpass, o.notch_hz};
      lsl->publish(*h, o.devices.size() > 1, pushed_filters, std::cout);
      recording.lsl_state = [&lsl, h] { return lsl->describe(*h); };
    }
    if (!files.per_headset.empty()) h->add_sink(files.make_recording_sink(*h, i, std::move(recording)));
    if (files.index) h->add_sink(files.index->entry_for(*h, files.data_paths[i]));
  }
  if (opened == 0) throw app::command_failure("none of the headsets could be opened");
  if (lsl) lsl->listen(run, std::cout);
}

// One page per headset, each on its own port (consecutive from --port when
// given), and with several a page that shows them all side by side; a line
// typed into any page goes to every headset, as on standard input.
void open_views(session::stream_session& run, const cli::stream_options& o, const session_files& files) {
  const bool several = run.headsets().size() > 1;
  std::vector<std::shared_ptr<view::live_view>> views;
  for (std::size_t i = 0; i < run.headsets().size(); ++i) {
    session::headset_stream& h = *run.headsets()[i];
    view::view_settings settings = o.view;
    if (settings.port != 0) settings.port += static_cast<unsigned>(i);
    if (several) settings.open = false;  // the page of every headset is opened instead
    std::string shown = o.out_path;
    for (std::size_t j = 0; j < o.devices.size() && files.data_paths.size() > 1; ++j) {
      if (o.devices[j] == h.settings().device) shown = files.data_paths[j];
    }
    const auto live = view::open_stream_view(settings, h, shown, o.seconds);
    h.add_sink(std::make_unique<view::view_sink>(live, h));
    run.add_source(std::make_unique<view::view_annotations>(live));
    views.push_back(live);
  }
  if (several) view::show_side_by_side(views, o.view.open, std::cout, std::cerr);
}

}  // namespace

// The objects are declared in the order their teardown needs reversed: the
// reserved names outlive the library, the library the session.
int run_stream(const cli::global_options& global, const cli::stream_options& o) {
  app::install_interrupt_handlers();
  // A missing liblsl is reported before anything else happens.
  std::optional<lsl_run> lsl;
  if (o.lsl.any()) lsl.emplace(o.lsl);
  session_files files(o);
  library::core_session core(global, {o.chunk_size, {}});

  session::stream_session run({o.seconds, o.stall_timeout, files.session_path(o)});
  add_headsets(run, o, files, lsl);
  if (o.view.enabled) open_views(run, o, files);
  run.add_source(std::make_unique<sources::typed_lines_source>([&run](int n) { run.lines_echoed(n); }));
  return run.run();
}

}  // namespace calyra::commands
