// Every failure a host can meet explains itself: after a call returns other
// than CY_OK, cy_core_last_error_text names the case (and the way out where
// there is one), per thread, and a success leaves it empty.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "virtual_fixture.h"

namespace calyra::core::testing {
namespace {

std::string text() { return cy_core_last_error_text(); }

// The call returned `expected` and the text holds every one of `parts`.
#define EXPECT_FAILURE(call, expected, ...)                                                      \
  do {                                                                                           \
    EXPECT_EQ((call), (expected)) << #call;                                                      \
    const std::string t = text();                                                                \
    for (const char* part : {__VA_ARGS__}) EXPECT_NE(t.find(part), std::string::npos) << #call << ": " << t; \
  } while (0)

class FailureTexts : public VirtualHeadsetTest {};

TEST_F(FailureTexts, LibraryStateCallsNameTheirState) {
  cy_core_config config = default_config();
  EXPECT_FAILURE(cy_core_close(), CY_NOT_INITIALIZED, "cy_core_close", "not initialised");
  EXPECT_FAILURE(cy_core_get_config(&config), CY_NOT_INITIALIZED, "cy_core_get_config", "cy_core_init first");
  EXPECT_FAILURE(cy_core_set_config(&config), CY_NOT_INITIALIZED, "cy_core_set_config", "not initialised");
  cy_scan_entry* entries = nullptr;
  std::uint64_t count = 0;
  EXPECT_FAILURE(cy_core_scan(&entries, &count), CY_NOT_INITIALIZED, "cy_core_scan", "not initialised");

  ASSERT_EQ(cy_core_init(), CY_OK);
  EXPECT_EQ(text(), "") << "a success leaves no text";
  EXPECT_FAILURE(cy_core_init(), CY_PRECONDITION_FAILED, "already initialised", "cy_core_close");
  EXPECT_FAILURE(cy_core_get_config(nullptr), CY_PRECONDITION_FAILED, "config is null");
  EXPECT_FAILURE(cy_core_set_config(nullptr), CY_PRECONDITION_FAILED, "config is null");
  EXPECT_FAILURE(cy_core_scan(nullptr, &count), CY_PRECONDITION_FAILED, "devices or count is null");
}

TEST_F(FailureTexts, VirtualHeadsetCallsNameTheKeyValueOrHeadset) {
  start_library("CY KESTREL 5");
  EXPECT_FAILURE(cy_virtual_configure("CY KESTREL 5,mtu=5"), CY_PRECONDITION_FAILED, "mtu", "5");
  EXPECT_FAILURE(cy_virtual_check_devices("CY X,colour=blue", nullptr, 0), CY_PRECONDITION_FAILED, "colour");
  EXPECT_FAILURE(cy_virtual_set_scan_scale(-1.0), CY_PRECONDITION_FAILED, "-1", "scale");
  EXPECT_FAILURE(cy_virtual_set_battery("CY KESTREL 5", 101, false), CY_PRECONDITION_FAILED, "101");
  EXPECT_FAILURE(cy_virtual_drop_link("CY NOBODY"), CY_DEVICE_NOT_FOUND, "CY NOBODY");
  EXPECT_FAILURE(cy_virtual_trigger("CY KESTREL 5"), CY_NOT_STREAMING, "not streaming");
  cy_virtual_stats stats{};
  EXPECT_FAILURE(cy_virtual_get_stats("CY KESTREL 5", nullptr), CY_PRECONDITION_FAILED, "stats is null");
  EXPECT_EQ(cy_virtual_get_stats("CY KESTREL 5", &stats), CY_OK);
  EXPECT_EQ(text(), "");
}

TEST_F(FailureTexts, ManagerCallsWithoutALinkSayWhatIsMissing) {
  start_library("CY KESTREL 5;CY FINCH 2,model=1");
  cy_eeg_manager* m = new_manager();
  EXPECT_FAILURE(cy_eeg_manager_connect(m, "CY KESTREL", nullptr, nullptr), CY_DEVICE_NOT_FOUND,
                 "\"CY KESTREL\"", "seen: ", "\"CY KESTREL 5\"", "\"CY FINCH 2\"");
  EXPECT_FAILURE(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_CONNECTION_ERROR, "no connection");
  EXPECT_FAILURE(cy_eeg_manager_load_config(m, nullptr, nullptr), CY_CONNECTION_ERROR, "no connection");
  EXPECT_FAILURE(cy_eeg_manager_start_update(m, nullptr, nullptr), CY_CONNECTION_ERROR, "no connection");
  EXPECT_FAILURE(cy_eeg_manager_get_full_battery_info(m, nullptr, nullptr), CY_CONNECTION_ERROR,
                 "no connection");
  EXPECT_FAILURE(cy_eeg_manager_annotate(m, "x"), CY_CONNECTION_ERROR, "no connection");
  EXPECT_FAILURE(cy_eeg_manager_annotate(m, nullptr), CY_PRECONDITION_FAILED, "text is null");
  EXPECT_FAILURE(cy_eeg_manager_annotate_at(m, "x", 0), CY_CONNECTION_ERROR, "no connection");
  EXPECT_FAILURE(cy_eeg_manager_set_data_stream_rate(m, CY_RATE_HZ_500), CY_UNSUPPORTED_SAMPLE_RATE,
                 "no headset is connected");
  double sample = 0;
  std::int64_t t = 0;
  EXPECT_FAILURE(cy_eeg_manager_sample_at(m, 0, &sample), CY_NOT_STREAMING, "clock is not known");
  EXPECT_FAILURE(cy_eeg_manager_sample_at(m, 0, nullptr), CY_PRECONDITION_FAILED, "sample_number is null");
  EXPECT_FAILURE(cy_eeg_manager_time_of_sample(m, 1.0 / 0.0, &t), CY_PRECONDITION_FAILED, "not finite");
  EXPECT_FAILURE(cy_eeg_manager_time_of_sample(m, 1.0, nullptr), CY_PRECONDITION_FAILED, "host_time_ns is null");
  EXPECT_FAILURE(cy_eeg_manager_get_clock_info(m, nullptr), CY_PRECONDITION_FAILED, "info is null");
  EXPECT_FAILURE(cy_eeg_manager_get_stream_stats(m, nullptr), CY_PRECONDITION_FAILED, "stats is null");
}

TEST_F(FailureTexts, ConnectedManagerFailuresGiveSizesPathsAndVersions) {
  start_library("CY MTU 26,mtu=26,pace=fast;CY OLDFW,fw=3.5.0");
  cy_eeg_manager* m = new_manager();
  EXPECT_FAILURE(cy_eeg_manager_connect(m, "CY OLDFW", nullptr, nullptr), CY_UNSUPPORTED_DEVICE, "CY OLDFW",
                 "firmware 3.5.0", "not compatible");

  ASSERT_EQ(cy_eeg_manager_connect(m, "CY MTU 26", nullptr, nullptr), CY_OK);
  EXPECT_EQ(text(), "");
  for (int e = 0; e < 4; ++e) {
    cy_eeg_manager_set_channel_enabled(m, static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT + e), true);
  }
  EXPECT_FAILURE(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_PRECONDITION_FAILED, "MTU 26",
                 "takes 24 bytes", "at most 23 bytes", "stream fewer electrodes");
  EXPECT_FAILURE(cy_eeg_manager_set_data_stream_rate(m, CY_RATE_HZ_1000), CY_UNSUPPORTED_SAMPLE_RATE,
                 "not accepted by the connected model");
  EXPECT_FAILURE(cy_eeg_manager_annotate(m, "x"), CY_NOT_STREAMING, "timing is not known");

  cy_core_config config{};
  ASSERT_EQ(cy_core_get_config(&config), CY_OK);
  const std::string image = (dir_ / "no-such-image.bin").string();
  std::snprintf(config.update_path, sizeof config.update_path, "%s", image.c_str());
  ASSERT_EQ(cy_core_set_config(&config), CY_OK);
  EXPECT_FAILURE(cy_eeg_manager_start_update(m, nullptr, nullptr), CY_PRECONDITION_FAILED, image.c_str(),
                 "cannot be read");
}

TEST_F(FailureTexts, EachThreadKeepsItsOwnText) {
  EXPECT_EQ(cy_core_close(), CY_NOT_INITIALIZED);
  std::string other;
  std::thread([&] {
    other = text();
    cy_core_config config{};
    EXPECT_EQ(cy_core_get_config(&config), CY_NOT_INITIALIZED);
  }).join();
  EXPECT_EQ(other, "") << "another thread's failure is not this one's";
  EXPECT_NE(text().find("cy_core_close"), std::string::npos) << "this thread's text survives another's call";
}

}  // namespace
}  // namespace calyra::core::testing
