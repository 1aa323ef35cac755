// Configuration upload end to end: the record a virtual headset receives for
// every model, the log and standard-output lines, and the failure paths.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "cycore.h"
#include "cycore/eeg_manager.h"
#include "cycore_virtual.h"
#include "manager/eeg_manager_implementation.h"
#include "runtime/library_fixture.h"

namespace calyra::core {
namespace {

std::vector<std::uint8_t> received_record(const char* name) {
  std::vector<std::uint8_t> record(64);
  record.resize(cy_virtual_get_config_record(name, record.data(), record.size()));
  return record;
}

class ConfigUploadTest : public testing::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_EQ(cy_virtual_configure(nullptr), CY_OK);  // one default headset per model
    ASSERT_EQ(cy_virtual_set_scan_scale(0.1), CY_OK);
    cy_core_config config = logging_config();
    config.autoflush = true;
    config.log_level = CY_LOG_LEVEL_DEBUG;
    init_with(config);
    handle = cy_eeg_manager_new();
    ASSERT_NE(handle, nullptr);
  }
  void TearDown() override {
    cy_eeg_manager_free(handle);
    cy_virtual_reset();
    LibraryTest::TearDown();
  }

  eeg_manager_implementation& internals() {
    return *reinterpret_cast<eeg_manager_implementation*>(handle);
  }

  bool logged(const std::string& suffix) const {
    for (const std::string& line : log_lines()) {
      if (line.size() >= suffix.size() &&
          line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return true;
      }
    }
    return false;
  }

  cy_eeg_manager* handle = nullptr;
};

TEST_F(ConfigUploadTest, SendsTheDocumentedExampleAndPrintsIt) {
  ASSERT_EQ(cy_eeg_manager_connect(handle, "CY WREN 1", nullptr, nullptr), CY_OK);  // 8 electrodes
  for (std::uint16_t e = 1; e <= 8; ++e) {
    cy_eeg_manager_set_channel_enabled(handle, e, true);
    cy_eeg_manager_set_channel_gain(handle, e, CY_GAIN_X8);
  }
  cy_eeg_manager_set_channel_bias(handle, 1);
  cy_eeg_manager_set_channel_bias(handle, 2);
  ASSERT_EQ(cy_eeg_manager_set_data_stream_rate(handle, CY_RATE_HZ_250), CY_OK);

  int calls = 0;
  ::testing::internal::CaptureStdout();
  const cy_error result = cy_eeg_manager_load_config(
      handle, [](void* data) { ++*static_cast<int*>(data); }, &calls);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(result, CY_OK);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(printed, "Configs(8): 0|8|8|8|8|8|8|8|8|3|6|\n");
  EXPECT_EQ(received_record("CY WREN 1"),
            (std::vector<std::uint8_t>{0, 8, 8, 8, 8, 8, 8, 8, 8, 3, 6}));

  // The record line ends in a line break of its own: an empty line follows.
  const auto lines = log_lines();
  ASSERT_GE(lines.size(), 5u);
  const auto tail = [&](std::size_t from_end, const std::string& text) {
    const std::string& line = lines[lines.size() - from_end];
    return line.rfind("[", 0) == 0 && line.size() >= text.size() &&
           line.compare(line.size() - text.size(), text.size(), text) == 0;
  };
  EXPECT_TRUE(tail(5, "): Setting Config..."));
  EXPECT_TRUE(tail(4, "): Done loading config."));
  EXPECT_TRUE(tail(3, "): Config(8): 0|8|8|8|8|8|8|8|8|3|6|"));
  EXPECT_TRUE(lines[lines.size() - 2].empty());
  EXPECT_TRUE(tail(1, "): Future callback done"));

  // Switched off, the record is in the log only.
  ASSERT_EQ(cy_core_set_stdout_diagnostics(false), CY_OK);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(cy_eeg_manager_load_config(handle, nullptr, nullptr), CY_OK);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  const auto after = log_lines();
  EXPECT_EQ(std::count_if(after.begin(), after.end(),
                          [](const std::string& line) {
                            return line.find("): Config(8): 0|8|8|8|8|8|8|8|8|3|6|") != std::string::npos;
                          }),
            2);
}

TEST_F(ConfigUploadTest, RecordForEveryModel) {
  struct model_case {
    const char* name;
    std::size_t electrodes;
  };
  for (const model_case m : {model_case{"CY WREN 1", 8}, model_case{"CY FINCH 2", 16},
                             model_case{"CY HERON 3", 32}, model_case{"CY PLOVER 4", 4},
                             model_case{"CY KESTREL 5", 4}, model_case{"CY KESTREL 6", 4}}) {
    SCOPED_TRACE(m.name);
    ASSERT_EQ(cy_eeg_manager_connect(handle, m.name, nullptr, nullptr), CY_OK);
    // Settings: odd electrodes enabled at X4, electrode 2 enabled without a
    // gain, the last electrode enabled with a mode that has no multiplier,
    // electrode 3 disabled but with a gain, bias on 1 and on the last one,
    // impedance on, rate HZ_500 (refused by some models, sent anyway).
    const auto last = static_cast<std::uint16_t>(m.electrodes);
    for (std::uint16_t e = 1; e <= last; e = static_cast<std::uint16_t>(e + 2)) {
      cy_eeg_manager_set_channel_enabled(handle, e, true);
      cy_eeg_manager_set_channel_gain(handle, e, CY_GAIN_X4);
    }
    cy_eeg_manager_set_channel_enabled(handle, 3, false);
    cy_eeg_manager_set_channel_enabled(handle, 2, true);
    cy_eeg_manager_set_channel_enabled(handle, last, true);
    cy_eeg_manager_set_channel_gain(handle, last, 9);
    cy_eeg_manager_set_channel_enabled(handle, CY_CHANNEL_SAMPLE_NUMBER, true);
    cy_eeg_manager_set_channel_enabled(handle, CY_CHANNEL_STREAMING, true);
    cy_eeg_manager_set_channel_bias(handle, 1);
    cy_eeg_manager_set_channel_bias(handle, last);
    cy_eeg_manager_set_impedance_mode(handle, 3);
    cy_eeg_manager_set_data_stream_rate(handle, CY_RATE_HZ_500);

    std::vector<std::uint8_t> expected{3};
    for (std::size_t e = 1; e <= m.electrodes; ++e) {
      std::uint8_t gain = (e % 2 == 1 && e != 3) ? 4 : 0;
      if (e == 2) gain = 1;
      if (e == m.electrodes) gain = 8;
      expected.push_back(gain);
    }
    const std::size_t bias_bytes = (m.electrodes + 7) / 8;
    for (std::size_t b = 0; b < bias_bytes; ++b) {
      std::uint8_t mask = b == 0 ? 0x01 : 0x00;
      if (b == (m.electrodes - 1) / 8) mask |= static_cast<std::uint8_t>(1u << ((m.electrodes - 1) % 8));
      expected.push_back(mask);
    }
    expected.push_back(CY_RATE_HZ_500);

    ::testing::internal::CaptureStdout();
    const cy_error result = cy_eeg_manager_load_config(handle, nullptr, nullptr);
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, CY_OK);
    EXPECT_EQ(received_record(m.name), expected);
    EXPECT_EQ(expected.size(), 2 + m.electrodes + bias_bytes);

    // The enabled electrode without a gain now has an X1 entry, which the
    // next start freezes and decoding scales with.
    const channel_settings& settings = internals().settings();
    EXPECT_EQ(settings.gain_of(2), gain_mode::X1);
    // A disabled electrode without a gain gets no entry.
    if (m.electrodes > 4) {
      EXPECT_FALSE(settings.gain_of(4).has_value());
    }

    cy_eeg_manager_disconnect(handle);
  }
}

TEST_F(ConfigUploadTest, FailuresAreReportedAsConnectionErrors) {
  int calls = 0;
  const auto callback = [](void* data) { ++*static_cast<int*>(data); };
  EXPECT_EQ(cy_eeg_manager_load_config(handle, callback, &calls), CY_CONNECTION_ERROR);
  EXPECT_TRUE(logged("): Unable to load config - no connection to device"));

  ASSERT_EQ(cy_virtual_configure("CY KESTREL 5,fail=stream_config"), CY_OK);
  ASSERT_EQ(cy_eeg_manager_connect(handle, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(cy_eeg_manager_load_config(handle, callback, &calls), CY_CONNECTION_ERROR);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(calls, 0);
  bool error_line = false;
  for (const std::string& line : log_lines()) {
    if (line.rfind("[ERROR] [eeg_manager] (", 0) == 0 &&
        line.find("): Caught connection error: ") != std::string::npos) {
      error_line = true;
    }
  }
  EXPECT_TRUE(error_line);
  EXPECT_FALSE(logged("): Done loading config."));
}

}  // namespace
}  // namespace calyra::core
