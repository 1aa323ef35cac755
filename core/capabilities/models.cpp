// The capability table. Each class overrides only what differs from its
// parent, so a value read here is the model's value unless a subclass below
// changes it.
#include "capabilities/conversions.h"
#include "capabilities/device_features.h"

namespace calyra::core::capabilities {

// --- wren_1_0_0: the defaults ---
bool wren_1_0_0::has_gyro() const { return false; }
bool wren_1_0_0::has_accel() const { return true; }
bool wren_1_0_0::is_bipolar() const { return false; }
bool wren_1_0_0::is_sample_rate_available(data_stream_rate rate) const {
  return rate == data_stream_rate::HZ_500 || rate == data_stream_rate::HZ_250;
}
std::uint8_t wren_1_0_0::electrode_count() const { return 8; }
std::uint8_t wren_1_0_0::samples_per_packet() const { return 30; }
std::uint8_t wren_1_0_0::sample_difference_size() const { return 12; }
bool wren_1_0_0::supports_ota() const { return false; }
std::uint8_t wren_1_0_0::expected_extension_chip_count() const { return 1; }
float wren_1_0_0::convert_accel(std::int16_t raw) const {
  return conversion::accel_3_9_milli_g(raw);
}
float wren_1_0_0::convert_gyro(std::int16_t) const { return 0.0f; }

// --- wren_1_0_1 ---
bool wren_1_0_1::supports_ota() const { return true; }

// --- finch ---
bool finch::is_sample_rate_available(data_stream_rate rate) const {
  return rate == data_stream_rate::HZ_250;
}
std::uint8_t finch::electrode_count() const { return 16; }
std::uint8_t finch::samples_per_packet() const { return 15; }
std::uint8_t finch::expected_extension_chip_count() const { return 3; }

// --- heron ---
std::uint8_t heron::electrode_count() const { return 32; }
std::uint8_t heron::samples_per_packet() const { return 10; }

// --- plover ---
bool plover::has_gyro() const { return true; }
std::uint8_t plover::electrode_count() const { return 4; }
std::uint8_t plover::samples_per_packet() const { return 10; }
std::uint8_t plover::expected_extension_chip_count() const { return 0; }
float plover::convert_accel(std::int16_t raw) const {
  return conversion::accel_4_g_full_scale(raw);
}
float plover::convert_gyro(std::int16_t raw) const {
  return conversion::gyro_250_dps_full_scale(raw);
}

// --- kestrel ---
std::uint8_t kestrel::electrode_count() const { return 4; }
std::uint8_t kestrel::samples_per_packet() const { return 50; }
std::uint8_t kestrel::expected_extension_chip_count() const { return 0; }

// --- kestrel_v2 ---
bool kestrel_v2::has_accel() const { return false; }

}  // namespace calyra::core::capabilities
