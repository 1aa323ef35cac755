// Chaos soak: several managers driven by host threads doing random
// operations (connect to random names, missing ones included, connect while
// connected, start, stop, settings, configuration upload, battery, annotations,
// firmware update, disconnect, free and recreate) while other threads drop
// links, change batteries and scan, on headsets with packet loss and links
// that drop on their own. Invariants are checked as it runs and at the end.
//
// Seeded: CALYRA_SOAK_SEED replays a run (the seed is printed). The run lasts
// CALYRA_SOAK_SECONDS (default 12, so that the plain, ASan and TSan suites
// together stay around half a minute); set it to 600 for a long soak.
// A watchdog turns an operation blocked for too long into a failure with the
// threads' stacks instead of a hung test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "virtual_fixture.h"

namespace calyra::core {
namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr std::uint64_t chunk_size = 20;
constexpr std::uint64_t max_filled_gap = 65536;
constexpr int host_threads = 3;
const std::array<const char*, 5> names = {"CY KESTREL 5", "CY KESTREL 6", "CY WREN 1", "CY HERON 3",
                                          "NOPE"};
const char* const devices =
    "CY KESTREL 5,pace=fast,loss=0.05,seed=2;"
    "CY KESTREL 6,pace=fast,drop_after=300;"
    "CY WREN 1,pace=fast,loss=0.02,drop_after=500,seed=4;"
    "CY HERON 3,pace=fast";

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// What one manager's callbacks see. Never freed during the run, so a
// callback that arrives after its manager was freed is recorded, not a crash
// of the test itself.
struct manager_context {
  std::atomic<bool> freed{false};
  std::atomic<bool> lost{false};  // link lost since the last connect
  std::mutex mutex;               // guards the stream bookkeeping below
  bool have_last = false;
  std::uint64_t last_sample = 0;
  std::uint64_t samples = 0;
};

struct violations {
  std::mutex mutex;
  std::vector<std::string> messages;
  void add(std::string message) {
    std::lock_guard lock(mutex);
    if (messages.size() < 20) messages.push_back(std::move(message));
  }
};

violations found;

void on_chunk(const void* const* channels, std::size_t count, void* user_data) {
  auto* context = static_cast<manager_context*>(user_data);
  if (context->freed) found.add("chunk callback after free");
  if (count > chunk_size) found.add("chunk of " + std::to_string(count) + " samples");
  // The sample number is the channel with the lowest id, always enabled.
  const auto* numbers = static_cast<const std::uint64_t*>(channels[0]);
  std::lock_guard lock(context->mutex);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t n = numbers[i];
    // Lost packets are filled, so the numbers never skip ahead, except over
    // a jump too large to be lost packets (reported, not filled). They may go
    // back: a new stream starts at 0, and a start by another manager on the
    // same headset restarts its counter (a reported, unfilled gap). Two
    // managers that upload different settings to one headset read each
    // other's packets with their own layout, which shows as such jumps.
    if (context->have_last && n > context->last_sample + 1 &&
        n - context->last_sample - 1 <= max_filled_gap) {
      found.add("sample " + std::to_string(n) + " after " + std::to_string(context->last_sample));
    }
    context->have_last = true;
    context->last_sample = n;
  }
  context->samples += count;
}

void on_battery(const cy_battery_info*, void* user_data) {
  if (static_cast<manager_context*>(user_data)->freed) found.add("battery callback after free");
}

void on_lost(void* user_data) {
  auto* context = static_cast<manager_context*>(user_data);
  if (context->freed) found.add("disconnect callback after free");
  context->lost = true;
}

void on_full_battery(const cy_full_battery_info*, void*) {}

// One operation in progress per host thread, for the watchdog.
struct operation_clock {
  std::atomic<std::int64_t> started_ms{0};  // 0: idle
  std::atomic<const char*> name{""};
};

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now().time_since_epoch())
      .count();
}

class ChaosSoak : public testing::VirtualHeadsetTest {
 protected:
  struct slot {
    cy_eeg_manager* manager = nullptr;
    manager_context* context = nullptr;
  };

  manager_context* new_context() {
    std::lock_guard lock(contexts_mutex_);
    contexts_.push_back(std::make_unique<manager_context>());
    return contexts_.back().get();
  }
  slot make_slot() {
    slot s{cy_eeg_manager_new(), new_context()};
    cy_eeg_manager_set_callback_chunk(s.manager, &on_chunk, s.context);
    cy_eeg_manager_set_callback_battery(s.manager, &on_battery, s.context);
    cy_eeg_manager_set_callback_disconnect(s.manager, &on_lost, s.context);
    return s;
  }
  static void free_slot(slot& s) {
    cy_eeg_manager_free(s.manager);
    s.context->freed = true;
    s.manager = nullptr;
  }
  static void configure(cy_eeg_manager* m, std::mt19937_64& random) {
    cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_SAMPLE_NUMBER, true);
    cy_eeg_manager_set_channel_enabled(m, CY_CHANNEL_STREAMING, true);
    const int electrodes = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < electrodes; ++e) {
      const auto id = static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT + e);
      cy_eeg_manager_set_channel_enabled(m, id, true);
      cy_eeg_manager_set_channel_gain(m, id, static_cast<cy_gain_mode>(random() % 7));
    }
  }

  void host_thread(int index, std::uint64_t seed, clock_type::time_point end, operation_clock& clock) {
    std::mt19937_64 random(seed + static_cast<std::uint64_t>(index) * 7919);
    slot s = make_slot();
    const auto run = [&](const char* name, auto&& operation) {
      clock.name = name;
      clock.started_ms = now_ms();
      operation();
      clock.started_ms = 0;
      operations_.fetch_add(1, std::memory_order_relaxed);
    };
    while (clock_type::now() < end) {
      cy_eeg_manager* m = s.manager;
      if (s.context->lost) {
        // After a link loss the manager is neither connected nor streaming.
        if (cy_eeg_manager_is_streaming(m)) found.add("streaming after link loss");
      }
      switch (random() % 16) {
        case 0:
        case 1:
        case 2:
          run("connect", [&] {
            s.context->lost = false;
            const char* name = names[random() % names.size()];
            if (cy_eeg_manager_connect(m, name, nullptr, nullptr) == CY_OK) {
              configure(m, random);
              cy_eeg_manager_load_config(m, nullptr, nullptr);
            }
          });
          break;
        case 3:
        case 4:
        case 5:
          run("start", [&] { cy_eeg_manager_start_stream(m, nullptr, nullptr); });
          break;
        case 6:
        case 7:
          run("stop", [&] { cy_eeg_manager_stop_stream(m, nullptr, nullptr); });
          break;
        case 8:
          run("settings", [&] {
            configure(m, random);
            cy_eeg_manager_set_data_stream_rate(m, static_cast<cy_data_stream_rate>(4 + random() % 3));
            cy_eeg_manager_load_config(m, nullptr, nullptr);
          });
          break;
        case 9:
          run("battery", [&] {
            cy_eeg_manager_get_battery_info(m);
            cy_eeg_manager_get_full_battery_info(m, &on_full_battery, nullptr);
            cy_eeg_manager_get_charging_settings(m);
          });
          break;
        case 10:
          run("annotate", [&] {
            cy_eeg_manager_annotate(m, "soak");
            cy_annotation* records = nullptr;
            std::size_t count = 0;
            cy_eeg_manager_get_annotations(m, &records, &count);
            for (std::size_t i = 0; i < count; ++i) {
              if (records[i].text == nullptr) found.add("annotation without text");
            }
          });
          break;
        case 11:
          // The update waits seconds for the headset's answer: rarely, and
          // on one thread only.
          if (index == 0 && random() % 8 == 0) {
            run("firmware update", [&] { cy_eeg_manager_start_update(m, nullptr, nullptr); });
          }
          break;
        case 12:
        case 13:
          run("disconnect", [&] { cy_eeg_manager_disconnect(m); });
          break;
        case 14:
          run("free", [&] {
            free_slot(s);
            s = make_slot();
          });
          break;
        default:
          std::this_thread::sleep_for(std::chrono::milliseconds(random() % 20));
          break;
      }
    }
    run("final free", [&] { free_slot(s); });
  }

  std::mutex contexts_mutex_;
  std::deque<std::unique_ptr<manager_context>> contexts_;
  std::atomic<std::uint64_t> operations_{0};
};

[[noreturn]] void dump_stacks_and_abort(const char* operation, std::int64_t blocked_ms) {
  std::fprintf(stderr, "watchdog: \"%s\" blocked for %lld ms; stacks follow\n", operation,
               static_cast<long long>(blocked_ms));
  const std::string command = "gdb -batch -nx -p " + std::to_string(getpid()) +
                              " -ex 'thread apply all bt' 1>&2 2>/dev/null";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "watchdog: gdb could not attach\n");
  std::abort();
}

TEST_F(ChaosSoak, RandomOperationsKeepEveryInvariant) {
  const std::uint64_t seed = env_number("CALYRA_SOAK_SEED", std::random_device{}());
  const std::uint64_t seconds = env_number("CALYRA_SOAK_SECONDS", 12);
  std::printf("chaos soak: seed %llu, %llu s (CALYRA_SOAK_SEED replays it)\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seconds));
  RecordProperty("seed", std::to_string(seed));
  start_library(devices, CY_LOG_LEVEL_WARNING, chunk_size);

  // A small image: the update runs through its exchange on the headsets.
  cy_core_config config{};
  ASSERT_EQ(cy_core_get_config(&config), CY_OK);
  const std::string image = (std::filesystem::temp_directory_path() /
                             ("calyra_soak_" + std::to_string(getpid()) + ".bin")).string();
  std::ofstream(image, std::ios::binary) << std::string(600, '\x5A');
  std::snprintf(config.update_path, sizeof config.update_path, "%s", image.c_str());
  ASSERT_EQ(cy_core_set_config(&config), CY_OK);

  const auto end = clock_type::now() + std::chrono::seconds(seconds);
  std::array<operation_clock, host_threads> clocks;
  std::atomic<bool> done{false};

  std::thread watchdog([&] {
    while (!done) {
      std::this_thread::sleep_for(100ms);
      for (const operation_clock& c : clocks) {
        const std::int64_t started = c.started_ms;
        const std::int64_t limit = std::string(c.name.load()) == "firmware update" ? 30000 : 10000;
        if (started != 0 && now_ms() - started > limit) dump_stacks_and_abort(c.name, now_ms() - started);
      }
    }
  });
  std::thread dropper([&] {
    std::mt19937_64 random(seed ^ 0xD509);
    while (clock_type::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30 + random() % 150));
      cy_virtual_drop_link(names[random() % 4]);
    }
  });
  std::thread battery([&] {
    std::mt19937_64 random(seed ^ 0xBA77);
    while (clock_type::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10 + random() % 40));
      cy_virtual_set_battery(names[random() % 4], static_cast<std::uint8_t>(random() % 101), random() % 2 == 0);
    }
  });
  std::thread scanner([&] {
    while (clock_type::now() < end) {
      cy_scan_entry* entries = nullptr;
      std::uint64_t count = 0;
      cy_core_scan(&entries, &count);
      std::this_thread::sleep_for(200ms);
    }
  });
  std::vector<std::thread> hosts;
  for (int i = 0; i < host_threads; ++i) {
    hosts.emplace_back([&, i] { host_thread(i, seed, end, clocks[static_cast<std::size_t>(i)]); });
  }
  for (auto& t : hosts) t.join();
  dropper.join();
  battery.join();
  scanner.join();
  done = true;
  watchdog.join();
  std::filesystem::remove(image);

  std::printf("chaos soak: %llu operations\n", static_cast<unsigned long long>(operations_.load()));
  // Freed managers stay silent, and none left a headset connected.
  std::this_thread::sleep_for(50ms);
  for (const char* name : {"CY KESTREL 5", "CY KESTREL 6", "CY WREN 1", "CY HERON 3"}) {
    cy_virtual_stats stats{};
    ASSERT_EQ(cy_virtual_get_stats(name, &stats), CY_OK);
    EXPECT_FALSE(stats.connected) << name;
  }
  std::lock_guard lock(found.mutex);
  EXPECT_TRUE(found.messages.empty()) << found.messages.front() << " (and " << found.messages.size() - 1
                                      << " more; seed " << seed << ")";
  found.messages.clear();
}

// After the chaos, one uninterrupted stream with packet loss: every lost
// packet is filled with exactly one packet's worth of samples.
TEST_F(ChaosSoak, FillersMatchTheLostPacketsOfAnUninterruptedStream) {
  start_library("CY KESTREL 5,pace=fast,loss=0.1,seed=9", CY_LOG_LEVEL_WARNING, chunk_size);
  slot s = make_slot();
  ASSERT_EQ(cy_eeg_manager_connect(s.manager, "CY KESTREL 5", nullptr, nullptr), CY_OK);
  cy_eeg_manager_set_channel_enabled(s.manager, CY_CHANNEL_SAMPLE_NUMBER, true);
  cy_eeg_manager_set_channel_enabled(s.manager, CY_CHANNEL_ELECTRODE_MEASUREMENT, true);
  // The streaming flag channel counts the fillers (0) apart from decoded samples (1).
  static std::atomic<std::uint64_t> fillers{0};
  static std::atomic<std::uint64_t> decoded{0};
  static std::atomic<std::uint64_t> next_sample{0};
  fillers = 0;
  decoded = 0;
  next_sample = 0;
  cy_eeg_manager_set_channel_enabled(s.manager, CY_CHANNEL_STREAMING, true);
  ASSERT_EQ(cy_eeg_manager_load_config(s.manager, nullptr, nullptr), CY_OK);
  cy_eeg_manager_set_callback_chunk(
      s.manager,
      [](const void* const* channels, std::size_t count, void*) {
        const auto* numbers = static_cast<const std::uint64_t*>(channels[0]);
        const auto* flags = static_cast<const std::uint8_t*>(channels[2]);
        for (std::size_t i = 0; i < count; ++i) ++(flags[i] != 0 ? decoded : fillers);
        if (count > 0) next_sample = numbers[count - 1] + 1;
      },
      nullptr);
  cy_virtual_stats before{};
  ASSERT_EQ(cy_virtual_get_stats("CY KESTREL 5", &before), CY_OK);
  ::testing::internal::CaptureStdout();  // the MISSED lines
  ASSERT_EQ(cy_eeg_manager_start_stream(s.manager, nullptr, nullptr), CY_OK);
  ASSERT_TRUE(eventually([&] { return decoded.load() > 20000; }));
  ASSERT_EQ(cy_eeg_manager_stop_stream(s.manager, nullptr, nullptr), CY_OK);
  ::testing::internal::GetCapturedStdout();
  cy_virtual_stats after{};
  ASSERT_EQ(cy_virtual_get_stats("CY KESTREL 5", &after), CY_OK);
  const std::uint64_t sent = after.packets_sent - before.packets_sent;
  const std::uint64_t lost = after.packets_lost - before.packets_lost;
  EXPECT_EQ(decoded.load(), sent * 50u);
  // Packets lost after the last one received are no gap yet: only the ones
  // before it are filled.
  const std::uint64_t trailing_lost = sent + lost - next_sample.load() / 50u;
  EXPECT_GT(lost - trailing_lost, 0u);
  EXPECT_EQ(fillers.load(), (lost - trailing_lost) * 50u);
  free_slot(s);
}

}  // namespace
}  // namespace calyra::core
