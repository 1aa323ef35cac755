// The scenario of a link that drops and comes back, for any backend: a
// manager streams until its clock is known, the link is lost with the
// headset out of reach for a while; the disconnect callback fires, a connect
// during the outage fails, one after it succeeds, and the new stream starts
// at sample 0 with its samples taken at the host times of the new start, so
// that the headset's clock has moved on by the outage.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

#include "cycore.h"
#include "session_support.h"

namespace calyra::test {

struct link_return_scenario {
  std::string name;
  std::chrono::milliseconds down{1500};
  // Drops the link with the headset out of reach for `down`; true when done.
  std::function<bool(std::chrono::milliseconds down)> drop;
  // What a connect during the outage returns.
  cy_error connect_while_down = CY_DEVICE_NOT_FOUND;

  static void on_disconnect(void* calls) { ++*static_cast<std::atomic<int>*>(calls); }

  static bool clock_known(cy_eeg_manager* m) {
    cy_clock_info info{};
    return cy_eeg_manager_get_clock_info(m, &info) == CY_OK && info.state != CY_CLOCK_UNKNOWN;
  }

  void run(cy_eeg_manager* m) {
    std::atomic<int> link_losses{0};
    cy_eeg_manager_set_callback_disconnect(m, &on_disconnect, &link_losses);
    ASSERT_EQ(cy_eeg_manager_connect(m, name.c_str(), nullptr, nullptr), CY_OK);
    ASSERT_TRUE(configure_e1(m));
    chunk_recorder before;
    before.attach(m);
    ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    ASSERT_TRUE(eventually([&] { return clock_known(m); }));

    const auto dropped_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(drop(down));
    ASSERT_TRUE(eventually([&] { return link_losses.load() == 1; }));
    EXPECT_FALSE(cy_eeg_manager_is_connected(m));
    cy_eeg_manager_disconnect(m);
    const std::vector<double> old_numbers = before.channel(0);
    ASSERT_FALSE(old_numbers.empty());
    // The clock of the ended stream still places its samples.
    std::int64_t last_old_ns = 0;
    ASSERT_EQ(cy_eeg_manager_time_of_sample(m, old_numbers.back(), &last_old_ns), CY_OK);

    // Out of reach: the search does not find it (or the link does not come up).
    EXPECT_EQ(cy_eeg_manager_connect(m, name.c_str(), nullptr, nullptr), connect_while_down);
    ASSERT_LT(std::chrono::steady_clock::now(), dropped_at + down) << "the outage ended too early to test";
    std::this_thread::sleep_until(dropped_at + down);
    ASSERT_EQ(cy_eeg_manager_connect(m, name.c_str(), nullptr, nullptr), CY_OK);
    ASSERT_TRUE(configure_e1(m));
    chunk_recorder after;
    after.attach(m);
    const std::int64_t start_ns = monotonic_ns();
    ASSERT_EQ(cy_eeg_manager_start_stream(m, nullptr, nullptr), CY_OK);
    ASSERT_TRUE(eventually([&] { return clock_known(m) && after.total_samples() >= 300; }));
    EXPECT_EQ(link_losses.load(), 1);
    const std::vector<double> numbers = after.channel(0);
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.front(), 0.0);  // a new start restarts the counter

    // Sample 0 of the new stream was taken one period (4 ms) after the start
    // command, by the headset's clock that ran on through the outage.
    std::int64_t first_new_ns = 0;
    ASSERT_EQ(cy_eeg_manager_time_of_sample(m, 0.0, &first_new_ns), CY_OK);
    EXPECT_GE(first_new_ns - last_old_ns, std::chrono::nanoseconds(down).count());
    EXPECT_NEAR(static_cast<double>(first_new_ns - start_ns) * 1e-6, 4.0, 30.0);
    cy_stream_stats stats{};
    ASSERT_EQ(cy_eeg_manager_get_stream_stats(m, &stats), CY_OK);
    EXPECT_EQ(stats.missed_packets, 0u);
    cy_eeg_manager_disconnect(m);
  }
};

// A headset with drop_every and down_ms: three links, each lost on its own
// and reported once, each followed by an outage in which a connect fails
// with `connect_while_down`.
inline void expect_links_lost_on_their_own(cy_eeg_manager* m, const std::string& name,
                                           cy_error connect_while_down) {
  std::atomic<int> losses{0};
  cy_eeg_manager_set_callback_disconnect(m, &link_return_scenario::on_disconnect, &losses);
  int connects = 0;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (losses.load() < 3 && std::chrono::steady_clock::now() < deadline) {
    const int before = losses.load();
    // A loss during the connect fails the connect and is not reported.
    if (cy_eeg_manager_connect(m, name.c_str(), nullptr, nullptr) != CY_OK) continue;
    ++connects;
    ASSERT_TRUE(eventually([&] { return losses.load() == before + 1; }, 5s));
    cy_eeg_manager_disconnect(m);
    EXPECT_EQ(cy_eeg_manager_connect(m, name.c_str(), nullptr, nullptr), connect_while_down);
  }
  EXPECT_EQ(losses.load(), 3);
  EXPECT_EQ(connects, 3);
}

}  // namespace calyra::test
