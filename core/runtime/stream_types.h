// Setting enumerations and channel identifiers shared by the capability
// table, the manager and the virtual headsets. All are one byte wide, except
// the 16-bit channel ids.
#pragma once

#include <array>
#include <cstdint>

namespace calyra::core {

enum class gain_mode : std::uint8_t { X1 = 0, X2 = 1, X4 = 2, X6 = 3, X8 = 4, X12 = 5 };

enum class data_stream_rate : std::uint8_t {
  HZ_16000 = 0,
  HZ_8000 = 1,
  HZ_4000 = 2,
  HZ_2000 = 3,
  HZ_1000 = 4,
  HZ_500 = 5,
  HZ_250 = 6,
};

// 0 is off; any other value means impedance measurement on and is sent to
// the headset unchanged.
using impedance_measurement_mode = std::uint8_t;

// 0 removes a channel from the bias set; 1 and 2 put it in.
using polarity = std::uint8_t;

enum class channel_data_type : std::uint8_t { FLOAT32 = 0, UINT8 = 1, UINT64 = 2, FLOAT64 = 3 };
// Type code of a channel id that has no data type.
inline constexpr std::uint8_t NO_CHANNEL_DATA_TYPE = 255;

namespace eeg_channel_id {
inline constexpr std::uint16_t SAMPLE_NUMBER = 0;
inline constexpr std::uint16_t ELECTRODE_MEASUREMENT = 1;  // + electrode index
inline constexpr std::uint16_t ELECTRODE_CONTACT = 0x0401;  // + electrode index
inline constexpr std::uint16_t ACCELEROMETER_X = 0x0A01;
inline constexpr std::uint16_t ACCELEROMETER_Y = 0x0A02;
inline constexpr std::uint16_t ACCELEROMETER_Z = 0x0A03;
inline constexpr std::uint16_t STREAMING = 0x0A41;
}  // namespace eeg_channel_id

inline constexpr std::array<std::uint16_t, 3> accelerometer_channels = {
    eeg_channel_id::ACCELEROMETER_X, eeg_channel_id::ACCELEROMETER_Y,
    eeg_channel_id::ACCELEROMETER_Z};

// Sample frequency in Hz of a rate code; 0 for a code outside the table.
constexpr std::uint32_t sample_frequency_hz(std::uint8_t rate_code) {
  constexpr std::uint32_t table[] = {16000, 8000, 4000, 2000, 1000, 500, 250};
  return rate_code < 7 ? table[rate_code] : 0;
}

}  // namespace calyra::core
