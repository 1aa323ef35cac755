#include "cli/command_line.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cli/bids_options.h"
#include "cli/electrode_list.h"
#include "filtering/signal_filters.h"
#include "cli/lsl_options.h"
#include "cli/view_options.h"

namespace calyra::cli {
namespace {

constexpr double min_seconds = 0.01;
constexpr double max_seconds = 604800.0;

std::string format_number(double v) {
  std::ostringstream text;
  text << v;
  return text.str();
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() > suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

band parse_band(const std::string& text) {
  const auto colon = text.find(':');
  const std::string low = text.substr(0, colon);
  const std::string high = colon == std::string::npos ? std::string() : text.substr(colon + 1);
  band b;
  std::size_t used_low = 0;
  std::size_t used_high = 0;
  try {
    b.low_hz = std::stod(low, &used_low);
    b.high_hz = std::stod(high, &used_high);
  } catch (const std::exception&) {
    used_low = 0;
  }
  if (colon == std::string::npos || used_low == 0 || used_low != low.size() ||
      used_high != high.size()) {
    throw std::invalid_argument("expected LOW:HIGH in Hz, got '" + text + "'");
  }
  if (!(b.low_hz > 0.0) || !(b.high_hz > b.low_hz)) {
    throw std::invalid_argument("the band needs 0 < LOW < HIGH, got '" + text + "'");
  }
  return b;
}

// Turns a throwing parser into a CLI11 check, so that a bad value is
// reported like any other bad option.
template <class Parse>
CLI::Validator checked_by(Parse parse, const std::string& name) {
  return CLI::Validator(
      [parse](std::string& value) -> std::string {
        try {
          parse(value);
          return {};
        } catch (const std::invalid_argument& e) {
          return e.what();
        }
      },
      name);
}

CLI::App* add_device_command(CLI::App& app, const std::string& name, const std::string& what,
                             std::string& device) {
  auto* sub = app.add_subcommand(name, what);
  sub->add_option("NAME", device, "Advertised name of the headset, e.g. \"CY KESTREL 5\"")
      ->type_name("TEXT")
      ->required();
  return sub;
}

void define_stream(CLI::App& app, stream_options& s, const std::string& name) {
  auto* sub = app.add_subcommand(name, name == "view" ? view_command_help
                                                      : "Connect, configure and stream; optionally record to a file");
  sub->add_option("NAME", s.devices,
                  "Advertised name of the headset, e.g. \"CY KESTREL 5\"; several names stream "
                  "several headsets together, each recorded to its own files")
      ->type_name("TEXT")
      ->required();
  sub->add_flag("--allow-missing", s.allow_missing,
                "With several headsets: record those that connect when one does not");
  sub->add_option("--seconds", s.seconds_text,
                  "Recording length in seconds, up to 604800 (7 days); 0 streams until Ctrl-C")
      ->type_name("SECONDS")
      ->check(checked_by([](const std::string& v) { parse_seconds(v); }, "SECONDS"))
      ->capture_default_str();
  sub->add_option("--rate", s.rate_hz, "Sample rate in Hz (250 or 500, as the model allows)")
      ->check(CLI::IsMember({250U, 500U}))
      ->capture_default_str();
  sub->add_option("--gain", s.gain, "Amplifier gain of every streamed electrode")
      ->check(CLI::IsMember({1U, 2U, 4U, 6U, 8U, 12U}))
      ->capture_default_str();
  sub->add_option("--channels", s.channels_text,
                  "Electrodes to stream, numbers and ranges such as 1,3-4 (default: all)")
      ->check(checked_by([](const std::string& v) { parse_electrode_list(v); }, "LIST"));
  sub->add_flag("--contact", s.contact, "Also stream the per-electrode contact flags");
  sub->add_flag("--accel", s.accel, "Also stream the accelerometer (models that have one)");
  sub->add_flag("--impedance", s.impedance,
                "Measure impedance: electrode values are raw counts instead of microvolts");
  sub->add_option("--chunk-size", s.chunk_size,
                  "Samples per chunk delivered by the library, 1 up to one second of samples "
                  "at the chosen rate");
  sub->add_option("--out", s.out_path, "Record to FILE: .bdf writes BDF+, .csv writes CSV")
      ->check(checked_by(
          [](const std::string& v) {
            const std::string l = lower(v);
            if (!ends_with(l, ".bdf") && !ends_with(l, ".csv")) {
              throw std::invalid_argument("the file name must end in .bdf or .csv: '" + v + "'");
            }
          },
          "FILE"));
  sub->add_flag("--overwrite", s.overwrite, "Replace FILE (and its sidecar files) if it exists");
  sub->add_option("--subject", s.subject, "Who is recorded: stored in the recording's patient field (with --bids, the BIDS subject label)")
      ->type_name("TEXT");
  sub->add_option("--session", s.session, "Session name: stored in the recording's header (with --bids, the BIDS session label)")
      ->type_name("TEXT");
  sub->add_option("--note", s.note, "A short note stored in the recording's header")->type_name("TEXT");
  sub->add_option("--bandpass", s.bandpass_text,
                  "Band-pass LOW:HIGH in Hz, applied to what is shown")
      ->check(checked_by([](const std::string& v) { parse_band(v); }, "LOW:HIGH"));
  sub->add_option("--notch", s.notch_hz,
                  "Band-stop 4 Hz wide around HZ (e.g. 50), applied to what is shown")
      ->check(CLI::Range(1.0, 1000.0));
  sub->add_flag("--filter-output", s.filter_output,
                "Write the filtered signal instead of the raw one (needs --bandpass or --notch)");
  sub->add_option("--stall-timeout", s.stall_timeout,
                  "Give up when the headset delivers no decodable sample for this many seconds "
                  "(0: never)")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 3600.0))
      ->capture_default_str();
  sub->add_option("--reconnect-timeout", s.reconnect_timeout,
                  "When the link drops, keep the recording open and reconnect for up to this many seconds "
                  "(default: the rest of the run; 0: end the run at the loss)")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 1e9));
  add_view_options(*sub, s, name == "view");
  add_bids_options(*sub, s);
  add_lsl_options(*sub, s);
}

void define_charging(CLI::App& app, charging_options& c) {
  auto* sub = add_device_command(
      app, "charging", "Show the charging settings; with --timeout or --flag, change them first",
      c.device);
  sub->add_option("--timeout", c.timeout, "Sleep timeout (1..255, in the headset's unit)")
      ->check(CLI::Range(1U, 255U));
  sub->add_option("--flag", c.flag, "Charging setting flag")->check(CLI::IsMember({0U, 1U}));
}

void define_update(CLI::App& app, update_options& u) {
  auto* sub = add_device_command(app, "update", "Update the headset's firmware", u.device);
  sub->add_option("--image", u.image_path, "Firmware image file")
      ->type_name("FILE")
      ->required()
      ->check(CLI::ExistingFile);
}

}  // namespace

double parse_seconds(const std::string& text) {
  std::size_t used = 0;
  double value = 0.0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size()) {
    throw std::invalid_argument("expected a number of seconds, got '" + text + "'");
  }
  if (!std::isfinite(value)) {
    throw std::invalid_argument("'" + text + "' is not a finite number of seconds; accepted: 0 (until "
                                "Ctrl-C) or " + format_number(min_seconds) + " to " +
                                format_number(max_seconds));
  }
  if (value != 0.0 && !(value >= min_seconds && value <= max_seconds)) {
    throw std::invalid_argument("'" + text + "' is out of range: 0 (until Ctrl-C) or " +
                                format_number(min_seconds) + " to " + format_number(max_seconds) +
                                " seconds (7 days)");
  }
  return value;
}

void define_command_line(CLI::App& app, parsed_command_line& out) {
  app.require_subcommand(1);
  // Global options may also follow the subcommand: "calyra info X --virtual".
  app.fallthrough();
  app.add_flag("--virtual", out.global.use_virtual,
               "Use the virtual headsets (unless CYCORE_BLE_BACKEND says otherwise)");
  app.add_option("--log", out.global.log_path, "Write the core library's log (INFO) to FILE")
      ->type_name("FILE");

  app.add_subcommand("scan", "List the headsets within reach (scans for 5 seconds)");
  add_device_command(app, "info", "Show the device record, capabilities, battery and charging",
                     out.device);
  define_stream(app, out.stream, "stream");
  define_stream(app, out.stream, "view");
  add_device_command(app, "battery", "Show the battery record", out.device);
  define_charging(app, out.charging);
  define_update(app, out.update);
  auto* recover = app.add_subcommand(
      "recover", "Make recordings left by a run that did not finish (FILE.part) readable, and name them");
  recover->add_option("files", out.recover.paths,
                      "FILE.part of a BDF or CSV recording, or FILE.json.part of a session of several headsets")
      ->type_name("FILE.part")
      ->required()
      ->check(CLI::ExistingFile);
  define_bids_import(app, out.bids_import);
  // A subcommand's help shows only its own options; these apply to all.
  for (CLI::App* sub : app.get_subcommands({})) {
    sub->footer(
        "Global options (before or after the subcommand):\n"
        "  --virtual      Use the virtual headsets (CYCORE_VIRTUAL_DEVICES lists them)\n"
        "  --log FILE     Write the core library's log (INFO) to FILE\n"
        "  --version      Show the versions of calyra and the libraries");
  }
}

void finish_command_line(const CLI::App& app, parsed_command_line& out) {
  const auto chosen = app.get_subcommands();
  const std::string name = chosen.empty() ? std::string() : chosen.front()->get_name();
  if (name == "scan") out.which = command::scan;
  if (name == "info") out.which = command::info;
  if (name == "stream" || name == "view") out.which = command::stream;
  if (name == "battery") out.which = command::battery;
  if (name == "charging") out.which = command::charging;
  if (name == "update") out.which = command::update;
  if (name == "recover") out.which = command::recover;
  if (name == "bids") out.which = command::bids;

  if (out.which != command::stream) return;
  stream_options& s = out.stream;
  s.device = s.devices.front();
  for (std::size_t i = 0; i < s.devices.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      // Names are matched in any case, so two spellings are one headset.
      if (strcasecmp(s.devices[i].c_str(), s.devices[j].c_str()) == 0) {
        throw CLI::ValidationError("NAME", "'" + s.devices[j] + "' and '" + s.devices[i] + "' name one headset twice");
      }
    }
  }
  if (s.allow_missing && s.devices.size() < 2) {
    throw CLI::ValidationError("--allow-missing", "needs several headsets");
  }
  s.seconds = parse_seconds(s.seconds_text);
  // A chunk is what the display and the file see at once: more than a
  // second of samples leaves the program silent for that long.
  const bool chunk_given = chosen.front()->count("--chunk-size") > 0;
  if (chunk_given && (s.chunk_size == 0 || s.chunk_size > s.rate_hz)) {
    throw CLI::ValidationError("--chunk-size", std::to_string(s.chunk_size) +
                                                   " is out of range: 1 to " + std::to_string(s.rate_hz) +
                                                   " samples (one second at " +
                                                   std::to_string(s.rate_hz) + " Hz)");
  }
  finish_view_options(*chosen.front(), s, name == "view");
  finish_lsl_options(*chosen.front(), s);
  if (!s.channels_text.empty()) s.electrodes = parse_electrode_list(s.channels_text);
  if (!s.bandpass_text.empty()) s.bandpass = parse_band(s.bandpass_text);
  if (s.filter_output && !s.bandpass && s.notch_hz == 0.0) {
    throw CLI::ValidationError("--filter-output", "needs --bandpass or --notch");
  }
  finish_bids_options(*chosen.front(), s);
  if (s.filter_output && s.out_path.empty() && s.bids.root.empty()) {
    throw CLI::ValidationError("--filter-output", "needs --out FILE or --bids ROOT");
  }
  const double nyquist = s.rate_hz / 2.0;
  if (s.bandpass && s.bandpass->high_hz >= nyquist) {
    throw CLI::ValidationError("--bandpass", "HIGH must stay below half the sample rate (" +
                                                 std::to_string(static_cast<int>(nyquist)) + " Hz)");
  }
  if (s.notch_hz != 0.0 && (s.notch_hz <= 2.0 || s.notch_hz + 2.0 >= nyquist)) {
    throw CLI::ValidationError("--notch", "HZ must lie between 2 Hz and half the sample rate minus 2 Hz");
  }
  if (s.filter_output) {
    const std::string refused = filtering::output_filter_refusal({s.bandpass, s.notch_hz}, s.rate_hz);
    if (!refused.empty()) throw CLI::ValidationError("--filter-output", refused);
  }
}

}  // namespace calyra::cli
