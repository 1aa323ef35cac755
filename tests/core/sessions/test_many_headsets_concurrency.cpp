// Eight virtual headsets, each run by its own manager on its own host
// thread, all at once: connect, configure, start, stop and disconnect twice.
// Every manager gets its own headset's samples, none lost, and the library
// runs no more threads than one per connected virtual headset.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cycore.h"
#include "cycore_virtual.h"
#include "runtime/library_fixture.h"
#include "session_support.h"

namespace calyra::test {
namespace {

constexpr int headset_count = 8;

std::string name_of(int i) { return "CY GROUP " + std::to_string(i + 1); }
std::uint64_t seed_of(int i) { return static_cast<std::uint64_t>(100 + i); }
double line_of(int i) { return 40.0 + 5.0 * i; }

class ManyHeadsets : public core::testing::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    std::string list;
    for (int i = 0; i < headset_count; ++i)
      list += name_of(i) + ",model=4,seed=" + std::to_string(seed_of(i)) +
              ",line=" + std::to_string(line_of(i)) + ";";
    cy_core_config config = logging_config();
    config.log_level = CY_LOG_LEVEL_INFO;
    init_with(config);
    ASSERT_EQ(cy_virtual_configure(list.c_str()), CY_OK);
    ASSERT_EQ(cy_virtual_set_scan_scale(0.05), CY_OK);
  }
  void TearDown() override {
    cy_virtual_reset();
    LibraryTest::TearDown();
  }
};

// One headset's session, run on its own thread; failures are reported there.
struct session {
  int index = 0;
  std::atomic<int>* streaming_now = nullptr;
  std::atomic<int>* most_threads = nullptr;

  void run() {
    const std::string who = name_of(index);
    cy_eeg_manager* m = cy_eeg_manager_new();
    for (int round = 0; round < 2; ++round) {
      ASSERT_EQ(cy_eeg_manager_connect(m, who.c_str(), nullptr, nullptr), CY_OK) << who;
      ASSERT_TRUE(configure_e1(m)) << who;
      chunk_recorder recorder;
      recorder.attach(m);
      ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK) << who;
      ++*streaming_now;
      // A little over a second of stream at 250 Hz, while the others stream too.
      EXPECT_TRUE(eventually([&] {
        int seen = *most_threads;
        const int now = thread_count();
        while (now > seen && !most_threads->compare_exchange_weak(seen, now)) {}
        return recorder.total_samples() >= 300;
      })) << who;
      --*streaming_now;
      ASSERT_EQ(cy_eeg_manager_stop_stream(m, nullptr, nullptr), CY_OK) << who;
      cy_stream_stats stats{};
      ASSERT_EQ(cy_eeg_manager_get_stream_stats(m, &stats), CY_OK);
      EXPECT_EQ(stats.missed_packets, 0u) << who;
      EXPECT_EQ(stats.filled_samples, 0u) << who;
      cy_eeg_manager_disconnect(m);
      EXPECT_GE(expect_own_gapless_stream(recorder, seed_of(index), line_of(index), who), 300u);
    }
    cy_eeg_manager_free(m);
  }
};

TEST_F(ManyHeadsets, EightManagersOnEightThreadsKeepTheirOwnSamplesWithoutLoss) {
  const int threads_before = thread_baseline();
  std::atomic<int> streaming_now{0}, most_threads{0};
  std::vector<session> sessions(headset_count);
  std::vector<std::thread> hosts;
  for (int i = 0; i < headset_count; ++i) {
    sessions[static_cast<std::size_t>(i)] = {i, &streaming_now, &most_threads};
    hosts.emplace_back([&s = sessions[static_cast<std::size_t>(i)]] { s.run(); });
  }
  for (std::thread& t : hosts) t.join();
  // Our host threads and one radio thread per virtual headset, nothing more;
  // the radio threads stay with their headsets, not with each connection.
  EXPECT_LE(most_threads.load(), threads_before + 2 * headset_count);
  EXPECT_LE(thread_count(), threads_before + headset_count);
  for (int i = 0; i < headset_count; ++i) {
    cy_virtual_stats stats{};
    ASSERT_EQ(cy_virtual_get_stats(name_of(i).c_str(), &stats), CY_OK);
    EXPECT_FALSE(stats.connected);
    EXPECT_EQ(stats.packets_lost, 0u);
  }
}

}  // namespace
}  // namespace calyra::test
