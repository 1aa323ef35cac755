// The per-model capability classes. Each model has one static, immutable,
// stateless instance; callers hold plain pointers to it for the library's
// lifetime and may query it from any thread without locking.
#pragma once

#include <cstdint>

#include "runtime/stream_types.h"

namespace calyra::core {

inline namespace abi_0 {
// The polymorphic root that the C API hands out (as cy_device_features*).
class device_features {
 public:
  virtual ~device_features() = default;

 protected:
  constexpr device_features() = default;
  device_features(const device_features&) = default;
  device_features& operator=(const device_features&) = default;
};
}  // namespace abi_0

// Every capability a model answers. The order of the operations is fixed.
class device_features_internal : public device_features {
 public:
  virtual bool has_gyro() const = 0;
  virtual bool has_accel() const = 0;
  virtual bool is_bipolar() const = 0;
  virtual bool is_sample_rate_available(data_stream_rate rate) const = 0;
  virtual std::uint8_t electrode_count() const = 0;
  virtual std::uint8_t samples_per_packet() const = 0;
  // Bit width of one compressed sample difference in a stream packet.
  virtual std::uint8_t sample_difference_size() const = 0;
  virtual bool supports_ota() const = 0;
  virtual std::uint8_t expected_extension_chip_count() const = 0;
  // Raw accelerometer count to m/s^2, in single precision.
  virtual float convert_accel(std::int16_t raw) const = 0;
  // Raw gyroscope count to rad/s, in single precision; 0 without a gyroscope.
  virtual float convert_gyro(std::int16_t raw) const = 0;

 protected:
  constexpr device_features_internal() = default;
};

namespace capabilities {

// The base model: defines every operation and gives the default values.
class wren_1_0_0 : public device_features_internal {
 public:
  constexpr wren_1_0_0() = default;
  bool has_gyro() const override;
  bool has_accel() const override;
  bool is_bipolar() const override;
  bool is_sample_rate_available(data_stream_rate rate) const override;
  std::uint8_t electrode_count() const override;
  std::uint8_t samples_per_packet() const override;
  std::uint8_t sample_difference_size() const override;
  bool supports_ota() const override;
  std::uint8_t expected_extension_chip_count() const override;
  float convert_accel(std::int16_t raw) const override;
  float convert_gyro(std::int16_t raw) const override;
};

class wren_1_0_1 : public wren_1_0_0 {
 public:
  constexpr wren_1_0_1() = default;
  bool supports_ota() const override;
};

class finch : public wren_1_0_1 {
 public:
  constexpr finch() = default;
  bool is_sample_rate_available(data_stream_rate rate) const override;
  std::uint8_t electrode_count() const override;
  std::uint8_t samples_per_packet() const override;
  std::uint8_t expected_extension_chip_count() const override;
};

class heron : public finch {
 public:
  constexpr heron() = default;
  std::uint8_t electrode_count() const override;
  std::uint8_t samples_per_packet() const override;
};

class plover : public wren_1_0_1 {
 public:
  constexpr plover() = default;
  bool has_gyro() const override;
  std::uint8_t electrode_count() const override;
  std::uint8_t samples_per_packet() const override;
  std::uint8_t expected_extension_chip_count() const override;
  float convert_accel(std::int16_t raw) const override;
  float convert_gyro(std::int16_t raw) const override;
};

class kestrel : public wren_1_0_1 {
 public:
  constexpr kestrel() = default;
  std::uint8_t electrode_count() const override;
  std::uint8_t samples_per_packet() const override;
  std::uint8_t expected_extension_chip_count() const override;
};

class kestrel_v2 : public kestrel {
 public:
  constexpr kestrel_v2() = default;
  bool has_accel() const override;
};

// Highest model code a device may report.
inline constexpr std::uint8_t max_model_code = 5;

// The instance of a model code: 0 wren_1_0_1, 1 finch, 2 heron, 3 plover,
// 4 kestrel, 5 kestrel_v2; null above 5. The base model is never handed out.
const device_features_internal* for_model_code(std::uint8_t code);

// The model's name as hosts show it; "unknown model" above 5. Static text.
const char* model_name(std::uint8_t code);

}  // namespace capabilities
}  // namespace calyra::core
