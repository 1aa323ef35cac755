// Test helper: the library initialised with logging into a temporary file
// (no prefixes, flushed after every line) and the virtual headsets of a
// device list. Left closed and back on the environment's backend afterwards.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cycore.h"
#include "cycore_virtual.h"
#include "protocol/gatt_map.h"
#include "runtime/library_fixture.h"

namespace calyra::core::testing {

class VirtualHeadsetTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    // Connect scans 100 ms per attempt; a name that is never found would
    // otherwise cost the full 5 seconds.
    ASSERT_EQ(cy_virtual_set_scan_scale(0.05), CY_OK);
  }
  void TearDown() override {
    for (cy_eeg_manager* m : managers_) cy_eeg_manager_free(m);
    managers_.clear();
    cy_virtual_reset();
    LibraryTest::TearDown();
  }

  // Starts the library with `devices` and logging at `level`.
  void start_library(const char* devices, cy_log_level level = CY_LOG_LEVEL_DEBUG,
                     std::uint64_t chunk_size = 25) {
    cy_core_config config = logging_config();
    config.autoflush = true;
    config.log_level = level;
    config.chunk_size = chunk_size;
    init_with(config);
    ASSERT_EQ(cy_virtual_configure(devices), CY_OK);
  }

  // A manager freed by TearDown (unless the test frees it first and calls forget).
  cy_eeg_manager* new_manager() {
    cy_eeg_manager* m = cy_eeg_manager_new();
    managers_.push_back(m);
    return m;
  }
  void forget(cy_eeg_manager* m) { std::erase(managers_, m); }

  // The manager prefix of the log lines.
  static std::string prefix(cy_eeg_manager* m) {
    return "[eeg_manager] (" + gatt::to_hex(reinterpret_cast<std::uintptr_t>(m)) + "): ";
  }
  // Log lines containing `text`.
  std::vector<std::string> lines_with(const std::string& text) const {
    std::vector<std::string> out;
    for (const auto& line : log_lines()) {
      if (line.find(text) != std::string::npos) out.push_back(line);
    }
    return out;
  }
  // Position of the first log line after `after` equal to `line` (or, with
  // `prefix_only`, beginning with it), or -1.
  long position_of(const std::string& line, long after = -1, bool prefix_only = false) const {
    const auto lines = log_lines();
    for (std::size_t i = static_cast<std::size_t>(after + 1); i < lines.size(); ++i) {
      if (prefix_only ? lines[i].rfind(line, 0) == 0 : lines[i] == line) return static_cast<long>(i);
    }
    return -1;
  }

  // Waits up to `seconds` for `condition`.
  static bool eventually(const std::function<bool()>& condition, double seconds = 10.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

 private:
  std::vector<cy_eeg_manager*> managers_;
};

// Records the calls of a connect or completion callback.
struct callback_probe {
  std::atomic<int> calls{0};
  std::atomic<bool> last_value{false};
  std::atomic<std::thread::id> thread{};

  static void on_connect(bool compatible, void* self) {
    auto* p = static_cast<callback_probe*>(self);
    p->last_value = compatible;
    p->thread = std::this_thread::get_id();
    ++p->calls;
  }
  static void on_event(void* self) {
    auto* p = static_cast<callback_probe*>(self);
    p->thread = std::this_thread::get_id();
    ++p->calls;
  }
};

}  // namespace calyra::core::testing
