// Channel and stream settings: the model-dependent bias and rate rules, and
// the reset after a stop.
#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>

#include "capabilities/device_features.h"
#include "cycore/eeg_manager.h"
#include "manager/eeg_manager_implementation.h"
#include "manager_test_access.h"

namespace calyra::core {
namespace {

// A model whose electrodes are wired in pairs; none of the shipped ones is.
class bipolar_model final : public capabilities::kestrel {
 public:
  bool is_bipolar() const override { return true; }
};
const bipolar_model bipolar;

cy_eeg_manager* handle(eeg_manager_implementation& m) { return reinterpret_cast<cy_eeg_manager*>(&m); }

TEST(Settings, BiasPolarityDependsOnTheModel) {
  eeg_manager_implementation m;
  cy_eeg_manager_set_channel_bias(handle(m), 1);  // no model yet: not bipolar, no crash
  EXPECT_EQ(m.settings().bias_of(1), 1);
  m.configure_for_model(*capabilities::for_model_code(4));
  cy_eeg_manager_set_channel_bias(handle(m), 2);
  EXPECT_EQ(m.settings().bias_of(2), 1);
  m.configure_for_model(bipolar);
  cy_eeg_manager_set_channel_bias(handle(m), 3);
  EXPECT_EQ(m.settings().bias_of(3), 2);
  m.set_channel_bias(3, 0);
  EXPECT_EQ(m.settings().bias_of(3), 0);
}

TEST(Settings, RatesAreStoredEvenWhenTheModelRefusesThem) {
  eeg_manager_implementation m;
  EXPECT_EQ(cy_eeg_manager_set_data_stream_rate(handle(m), CY_RATE_HZ_500), CY_UNSUPPORTED_SAMPLE_RATE);  // no model
  m.configure_for_model(*capabilities::for_model_code(1));  // finch: 250 Hz only
  EXPECT_EQ(cy_eeg_manager_set_data_stream_rate(handle(m), CY_RATE_HZ_500), CY_UNSUPPORTED_SAMPLE_RATE);
  EXPECT_EQ(cy_eeg_manager_get_sample_frequency(handle(m)), CY_RATE_HZ_500);
  EXPECT_EQ(cy_eeg_manager_set_data_stream_rate(handle(m), CY_RATE_HZ_250), CY_OK);
  m.configure_for_model(*capabilities::for_model_code(4));  // kestrel: 500 and 250 Hz
  EXPECT_EQ(cy_eeg_manager_set_data_stream_rate(handle(m), CY_RATE_HZ_500), CY_OK);
  EXPECT_EQ(cy_eeg_manager_set_data_stream_rate(handle(m), CY_RATE_HZ_1000), CY_UNSUPPORTED_SAMPLE_RATE);
}

TEST(Settings, ResetClearsEverythingButTheRate) {
  eeg_manager_implementation m;
  m.configure_for_model(*capabilities::for_model_code(4));
  m.set_channel_enabled(1, true);
  m.set_channel_gain(1, gain_mode::X4);
  m.set_channel_bias(1, 2);
  m.set_impedance_mode(3);
  m.set_data_stream_rate(data_stream_rate::HZ_500);
  manager_test_access::begin_stream(m);
  EXPECT_EQ(m.get_channel_index(1), 0);
  m.reset_stream_settings();
  EXPECT_TRUE(m.settings().enabled_channels().empty());
  EXPECT_FALSE(m.settings().gain_of(1).has_value());
  EXPECT_EQ(m.settings().bias_of(1), 0);
  EXPECT_EQ(m.settings().impedance_mode(), 0);
  EXPECT_EQ(m.get_channel_index(1), -1);
  EXPECT_EQ(m.get_sample_frequency(), static_cast<std::uint8_t>(data_stream_rate::HZ_500));
  EXPECT_EQ(m.stream_data_types().size(), 1u);  // kept until the next start
}

}  // namespace
}  // namespace calyra::core
