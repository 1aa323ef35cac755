// Whether the packets of the configured stream fit the link. A notification
// carries at most MTU - 3 bytes; a payload cut to that size can never be
// decoded, so a stream whose smallest packet does not fit would deliver
// nothing while reporting a successful start. When only the model's full
// packet does not fit, the stream may still work: the samples per packet are
// recomputed from every payload, and a headset may send shorter packets.
#include <algorithm>
#include <ostream>
#include <string>

#include "manager/eeg_manager_implementation.h"
#include "manager/packet_codec.h"

namespace calyra::core {

namespace {

// The ATT header of a notification: opcode and attribute handle.
constexpr std::size_t notification_header = 3;

}  // namespace

std::vector<std::uint8_t> eeg_manager_implementation::electrodes_streamed_by(
    const std::vector<std::uint16_t>& channels) const {
  std::vector<std::uint8_t> electrodes;
  for (std::int32_t i = 0; i < electrode_count; ++i) {
    const auto measurement = static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_MEASUREMENT + i);
    const auto contact = static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_CONTACT + i);
    if (std::binary_search(channels.begin(), channels.end(), measurement) ||
        std::binary_search(channels.begin(), channels.end(), contact)) {
      electrodes.push_back(static_cast<std::uint8_t>(i));
    }
  }
  return electrodes;
}

error eeg_manager_implementation::check_packets_fit_link() {
  const std::size_t streamed = electrodes_streamed_by(settings_.enabled_channels()).size();
  // Without an electrode there is no packet to fit.
  if (streamed == 0 || features == nullptr) return error::OK;

  const std::size_t mtu = peripheral.mtu();
  const std::size_t capacity = mtu > notification_header ? mtu - notification_header : 0;
  const bool impedance = settings_.impedance_mode() != 0;
  const auto size_of = [&](std::size_t samples) {
    return packet_codec::payload_size(samples, streamed, static_cast<std::size_t>(electrode_count),
                                      features->has_accel(), impedance);
  };
  const auto describe = [&](std::ostream& out, std::size_t samples, std::size_t bytes) {
    out << (samples == 1 ? "a packet of one sample" : "a full packet of " + std::to_string(samples) + " samples")
        << " of the " << streamed << " streamed electrodes" << (impedance ? " in impedance mode" : "")
        << " takes " << bytes << " bytes, but a notification on this link (MTU " << mtu << ") carries at most "
        << capacity << " bytes";
  };

  if (const std::size_t smallest = size_of(1); smallest > capacity) {
    return fail_logged(log_level::ERROR, error::PRECONDITION_FAILED, [&](std::ostream& out) {
      out << "Unable to start stream - ";
      describe(out, 1, smallest);
      out << ": stream fewer electrodes or use a link with a larger MTU";
    });
  }
  const std::size_t samples = features->samples_per_packet();
  if (const std::size_t full = size_of(samples); full > capacity) {
    log(log_level::WARNING, [&](std::ostream& out) {
      out << "Starting the stream although ";
      describe(out, samples, full);
      out << ": it relies on the headset sending shorter packets (stream fewer electrodes or use a link "
             "with a larger MTU to receive full ones)";
    });
  }
  return error::OK;
}

}  // namespace calyra::core
