// One-byte commands and acknowledgement codes of the headset protocol.
#pragma once

#include <cstdint>

namespace calyra::core::protocol {

// Written to stream_control.
inline constexpr std::uint8_t stream_start_command = 0x01;
inline constexpr std::uint8_t stream_stop_command = 0x00;

// Written to ota_control.
inline constexpr std::uint8_t ota_request_command = 0x01;  // enter update mode, an image follows
inline constexpr std::uint8_t ota_done_command = 0x04;     // the whole image has been sent

// First byte of an ota_status notification.
inline constexpr std::uint8_t ota_request_acknowledged = 2;
inline constexpr std::uint8_t ota_request_not_acknowledged = 3;
inline constexpr std::uint8_t ota_update_done = 4;
inline constexpr std::uint8_t ota_done_acknowledged = 5;
inline constexpr std::uint8_t ota_done_not_acknowledged = 6;

// The ATT write header that the block size leaves out of the MTU.
inline constexpr std::uint16_t att_write_header_size = 3;

}  // namespace calyra::core::protocol
