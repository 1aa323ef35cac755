// Configuration upload: the one operation that sends the channel settings to
// the headset, packed into a single record written to stream_config.
//
//   [impedance mode][one gain byte per electrode][bias bitmask][rate code]
//
// A gain byte is 0 for an electrode that is not enabled, otherwise the
// multiplier of its gain mode. The bias mask has one bit per electrode, least
// significant bit first, ceil(E / 8) bytes.
#include <optional>
#include <mutex>
#include <ostream>
#include <string>

#include "manager/conversions.h"
#include "manager/eeg_manager_implementation.h"
#include "runtime/console.h"
#include "library/state.h"

namespace calyra::core {
namespace {

// "0|8|8|...|": every byte in decimal, each followed by a bar.
std::string record_text(const std::vector<std::uint8_t>& record) {
  std::string text;
  for (const std::uint8_t byte : record) {
    text += std::to_string(byte);
    text += '|';
  }
  return text;
}

// A stored mode without a multiplier (above X12) goes out as 8, which is also
// what the decoder scales such a channel with.
std::uint8_t gain_byte(gain_mode mode) {
  return static_cast<std::uint8_t>(effective_gain_multiplier(mode));
}

}  // namespace

error eeg_manager_implementation::load_config(completion_callback callback, void* user_data) {
  if (!connected) {
    return fail_logged(log_level::INFO, error::CONNECTION_ERROR,
                       [](std::ostream& out) { out << "Unable to load config - no connection to device"; });
  }
  return handle_errors([&] {
    log_text(log_level::INFO, "Setting Config...");
    const std::vector<std::uint8_t> record = build_config_record();
    write_characteristic(gatt::role::stream_config, record);
    {
      std::lock_guard lock(uploaded_config_mutex);
      uploaded_config = record;
    }
    log_text(log_level::INFO, "Done loading config.");

    const std::string bytes = record_text(record);
    // The message ends in a line break of its own, so an empty line follows
    // it in the log.
    log(log_level::INFO, [&](std::ostream& out) {
      out << "Config(" << electrode_count << "): " << bytes << '\n';
    });
    // Without the standard-output copy the log line above carries the record.
    console::write_line(console::channel::standard_output,
                        "Configs(" + std::to_string(electrode_count) + "): " + bytes, std::nullopt);

    if (callback != nullptr) callback(user_data);
    log_text(log_level::DEBUG, "Future callback done");
    return error::OK;
  });
}

void eeg_manager_implementation::warn_if_settings_not_uploaded() {
  std::vector<std::uint8_t> uploaded;
  {
    std::lock_guard lock(uploaded_config_mutex);
    uploaded = uploaded_config;
  }
  if (uploaded.empty()) {
    log_text(log_level::WARNING,
             "Starting the stream without a configuration upload since connecting: the headset "
             "streams with its own settings");
  } else if (build_config_record(false) != uploaded) {
    log_text(log_level::WARNING,
             "Channel settings changed since the last configuration upload: the headset streams "
             "with the uploaded ones (call load_config before start_stream)");
  }
}

void eeg_manager_implementation::forget_uploaded_config() {
  std::lock_guard lock(uploaded_config_mutex);
  uploaded_config.clear();
}

std::vector<std::uint8_t> eeg_manager_implementation::build_config_record(bool record_default_gains) {
  const std::size_t electrodes = electrode_count > 0 ? static_cast<std::size_t>(electrode_count) : 0;
  const std::size_t bias_bytes = (electrodes + 7) / 8;
  const channel_settings::upload_view view = settings_.for_upload(electrodes, record_default_gains);
  std::vector<std::uint8_t> record;
  record.reserve(1 + electrodes + bias_bytes + 1);

  record.push_back(view.impedance_mode);
  for (std::size_t i = 0; i < electrodes; ++i) {
    record.push_back(view.electrode_enabled[i] ? gain_byte(view.electrode_gains[i]) : std::uint8_t{0});
  }
  for (std::size_t byte = 0; byte < bias_bytes; ++byte) {
    std::uint8_t mask = 0;
    for (std::size_t bit = 0; bit < 8 && byte * 8 + bit < electrodes; ++bit) {
      if (view.electrode_biased[byte * 8 + bit]) mask = static_cast<std::uint8_t>(mask | (1u << bit));
    }
    record.push_back(mask);
  }
  record.push_back(view.rate);
  return record;
}

}  // namespace calyra::core
