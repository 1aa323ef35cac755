// Annotations: the sample-number estimate, the preconditions, the fetch and
// clear semantics and the ownership of what the host receives; end to end
// while a virtual headset streams.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cycore.h"
#include "cycore/eeg_manager.h"
#include "cycore_virtual.h"
#include "manager/eeg_manager_implementation.h"
#include "manager_test_access.h"
#include "runtime/library_fixture.h"

namespace calyra::core {
namespace {

std::int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

TEST(AnnotationSampleNumber, RoundsHalvesAwayFromZero) {
  constexpr auto at = eeg_manager_implementation::annotation_sample_number;
  // 250 Hz: 2000 ms after the fitted origin is sample 500.
  EXPECT_EQ(at(3000, 1000, 0.0, 6), 500);
  EXPECT_EQ(at(3003, 1000, 0.0, 6), 501);  // 500.75
  EXPECT_EQ(at(2998, 1000, 0.0, 6), 500);  // 499.5
  // The origin is rounded to whole milliseconds first, halves away from zero.
  EXPECT_EQ(at(3011, 1000, 10.5, 6), 500);
  EXPECT_EQ(at(2999, 1000, -0.5, 6), 500);
  // Before the origin the estimate is negative, rounded the same way.
  EXPECT_EQ(at(998, 1000, 0.0, 6), -1);  // -0.5
  EXPECT_EQ(at(1001, 1000, 0.0, 0), 16);
  EXPECT_EQ(at(1500, 1000, 0.0, 5), 250);
  // A rate code without a frequency gives 0.
  EXPECT_EQ(at(9000, 1000, 0.0, 7), 0);
}

class AnnotationsTest : public testing::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    init_with(default_config());
    manager = std::make_unique<eeg_manager_implementation>();
  }
  void TearDown() override {
    manager.reset();
    LibraryTest::TearDown();
  }
  cy_eeg_manager* handle() { return reinterpret_cast<cy_eeg_manager*>(manager.get()); }

  // A connected manager whose stream started `elapsed_ms` ago with the
  // fitted origin exactly 0.0.
  void streaming_for(std::int64_t elapsed_ms) {
    manager_test_access::set_connected(*manager, true);
    manager_test_access::set_stream_timing(*manager, 0.0, steady_ms() - elapsed_ms);
  }

  std::vector<std::string> fetched_texts() {
    cy_annotation* records = nullptr;
    std::size_t count = 0;
    cy_eeg_manager_get_annotations(handle(), &records, &count);
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < count; ++i) texts.emplace_back(records[i].text);
    return texts;
  }

  std::unique_ptr<eeg_manager_implementation> manager;
};

TEST_F(AnnotationsTest, PreconditionsStoreNothing) {
  EXPECT_EQ(cy_eeg_manager_annotate(handle(), nullptr), CY_PRECONDITION_FAILED);
  EXPECT_EQ(cy_eeg_manager_annotate(handle(), "x"), CY_CONNECTION_ERROR);
  manager_test_access::set_connected(*manager, true);
  EXPECT_EQ(cy_eeg_manager_annotate(handle(), "x"), CY_NOT_STREAMING);
  EXPECT_EQ(cy_eeg_manager_annotate(handle(), nullptr), CY_PRECONDITION_FAILED);
  EXPECT_TRUE(fetched_texts().empty());

  // A fit that put the origin at exactly 0.0 is known timing.
  streaming_for(2000);
  cy_eeg_manager_set_data_stream_rate(handle(), CY_RATE_HZ_250);
  ASSERT_EQ(cy_eeg_manager_annotate(handle(), "stimulus"), CY_OK);
  cy_annotation* records = nullptr;
  std::size_t count = 0;
  cy_eeg_manager_get_annotations(handle(), &records, &count);
  ASSERT_EQ(count, 1u);
  EXPECT_NEAR(static_cast<double>(records[0].sample_number), 500.0, 1.0);

  // Timing stays known after the link is gone, but a connection is needed.
  manager_test_access::set_connected(*manager, false);
  EXPECT_EQ(cy_eeg_manager_annotate(handle(), "late"), CY_CONNECTION_ERROR);
  EXPECT_EQ(fetched_texts().size(), 1u);
}

TEST_F(AnnotationsTest, FetchExtendsTheMirrorAndKeepsEarlierRecords) {
  streaming_for(0);
  cy_annotation* records = nullptr;
  std::size_t count = 7;
  cy_eeg_manager_get_annotations(handle(), &records, &count);
  EXPECT_EQ(count, 0u);

  // Texts are copied byte for byte (empty and multi-byte UTF-8 included).
  const char utf8[] = "\xCE\xB1-Welle \xE2\x9C\x93";
  char buffer[32];
  for (const char* text : {"", utf8, "three"}) {
    std::strcpy(buffer, text);
    ASSERT_EQ(cy_eeg_manager_annotate(handle(), buffer), CY_OK);
  }
  std::strcpy(buffer, "changed");  // the manager holds its own copies
  cy_eeg_manager_get_annotations(handle(), &records, &count);
  ASSERT_EQ(count, 3u);
  const cy_annotation first_three[3] = {records[0], records[1], records[2]};
  EXPECT_STREQ(first_three[0].text, "");
  EXPECT_EQ(std::string(first_three[1].text), std::string(utf8));
  EXPECT_STREQ(first_three[2].text, "three");

  // More than one block of records, so the queue grows past 32.
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(cy_eeg_manager_annotate(handle(), std::to_string(i).c_str()), CY_OK);
  }
  cy_eeg_manager_get_annotations(handle(), &records, &count);
  ASSERT_EQ(count, 43u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(records[i].text, first_three[i].text) << "texts are shared, not copied again";
    EXPECT_EQ(records[i].sample_number, first_three[i].sample_number);
  }
  EXPECT_STREQ(records[42].text, "39");
  for (std::size_t i = 1; i < count; ++i) {
    EXPECT_GE(records[i].sample_number, records[i - 1].sample_number);
  }

  cy_eeg_manager_clear_annotations(handle());
  cy_eeg_manager_get_annotations(handle(), &records, &count);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(cy_eeg_manager_annotate(handle(), "again"), CY_OK);
  EXPECT_EQ(fetched_texts(), std::vector<std::string>{"again"});
}

// End to end: the estimate tracks the sample numbers a realtime virtual
// headset delivers.
class StreamingAnnotationsTest : public testing::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_EQ(cy_virtual_configure("CY KESTREL 5"), CY_OK);
    ASSERT_EQ(cy_virtual_set_scan_scale(0.1), CY_OK);
    init_with(default_config());
    handle = cy_eeg_manager_new();
    ASSERT_NE(handle, nullptr);
  }
  void TearDown() override {
    cy_eeg_manager_free(handle);
    cy_virtual_reset();
    LibraryTest::TearDown();
  }
  cy_eeg_manager* handle = nullptr;
};

struct delivered_samples {
  std::atomic<std::int64_t> last{-1};
};

// The sample-number channel has the lowest id, so it comes first.
void remember_last_sample(const void* const* channels, size_t count, void* data) {
  auto* seen = static_cast<delivered_samples*>(data);
  const auto* numbers = static_cast<const std::uint64_t*>(channels[0]);
  if (count > 0) seen->last = static_cast<std::int64_t>(numbers[count - 1]);
}

TEST_F(StreamingAnnotationsTest, SampleNumbersFollowTheStream) {
  ASSERT_EQ(cy_eeg_manager_connect(handle, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_annotate(handle, "too early"), CY_NOT_STREAMING);

  cy_eeg_manager_set_channel_enabled(handle, CY_CHANNEL_SAMPLE_NUMBER, true);
  for (std::uint16_t e = 1; e <= 4; ++e) cy_eeg_manager_set_channel_enabled(handle, e, true);
  ASSERT_EQ(cy_eeg_manager_set_data_stream_rate(handle, CY_RATE_HZ_250), CY_OK);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(cy_eeg_manager_load_config(handle, nullptr, nullptr), CY_OK);
  ::testing::internal::GetCapturedStdout();

  delivered_samples seen;
  cy_eeg_manager_set_callback_chunk(handle, remember_last_sample, &seen);
  ASSERT_EQ(cy_eeg_manager_start_stream(handle, nullptr, nullptr), CY_OK);
  ASSERT_EQ(cy_eeg_manager_get_channel_index(handle, CY_CHANNEL_SAMPLE_NUMBER), 0);

  // Timing is fitted from the first 11 packets (50 samples each at 250 Hz,
  // 200 ms apart); wait for a few more.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (seen.last.load() < 650 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GE(seen.last.load(), 650);
  ASSERT_EQ(cy_eeg_manager_annotate(handle, "now"), CY_OK);
  const std::int64_t delivered = seen.last.load();

  cy_annotation* records = nullptr;
  std::size_t count = 0;
  cy_eeg_manager_get_annotations(handle, &records, &count);
  ASSERT_EQ(count, 1u);
  // Delivery lags the estimate by up to a packet plus a chunk (75 samples);
  // allow scheduling slack on a loaded machine.
  EXPECT_GE(records[0].sample_number, delivered - 25);
  EXPECT_LE(records[0].sample_number, delivered + 150);

  // Annotating keeps working after the stream stops; a disconnect clears.
  ASSERT_EQ(cy_eeg_manager_stop_stream(handle, nullptr, nullptr), CY_OK);
  EXPECT_EQ(cy_eeg_manager_annotate(handle, "after stop"), CY_OK);
  cy_eeg_manager_disconnect(handle);
  EXPECT_EQ(cy_eeg_manager_annotate(handle, "after disconnect"), CY_CONNECTION_ERROR);
  cy_eeg_manager_get_annotations(handle, &records, &count);
  EXPECT_EQ(count, 0u);
}

}  // namespace
}  // namespace calyra::core
