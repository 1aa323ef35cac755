// The battery cache under load: a notification thread stores records while
// host threads read the cache and replace the battery callback. Every record
// read must be one that was stored whole (its fields are tied to its level),
// and every callback call must see such a record. Meant for ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cycore.h"
#include "manager/eeg_manager_implementation.h"
#include "manager_test_access.h"
#include "runtime/library_fixture.h"

namespace calyra::core {
namespace {

// battery_status bytes whose charger and charge-state bits follow the level,
// so a record mixed from two notifications is detectable.
ble::ByteArray status_for(std::uint8_t level) {
  const int charger = (level & 1) << 1;
  const int charging = (level % 3 == 0 ? 1 : 2) << 5;
  return ble::ByteArray{0, static_cast<char>(charger | charging), 0, static_cast<char>(level)};
}

bool consistent(const cy_battery_info& info) {
  return info.is_charger_connected == ((info.level & 1) != 0) &&
         info.is_charging == (info.level % 3 == 0);
}

struct callback_counter {
  std::atomic<int> calls{0};
  std::atomic<int> torn{0};
};

void count_record(const cy_battery_info* info, void* data) {
  auto* counter = static_cast<callback_counter*>(data);
  ++counter->calls;
  // Level 0 is the cache's initial value and never notified here.
  if (info->level == 0 || !consistent(*info)) ++counter->torn;
}

class BatteryConcurrencyTest : public testing::LibraryTest {};

TEST_F(BatteryConcurrencyTest, ReadersSeeWholeRecordsWhileNotificationsArrive) {
  // Logging on: the handler logs while holding the cache lock, so the
  // cache-lock -> logger-mutex order is exercised too.
  cy_core_config config = logging_config();
  init_with(config);
  eeg_manager_implementation manager;
  manager_test_access::set_connected(manager, true);

  constexpr int notifications = 20000;
  std::atomic<bool> done{false};
  callback_counter first;
  callback_counter second;

  std::thread notifier([&] {
    for (int i = 0; i < notifications; ++i) {
      manager.on_battery_notification(status_for(static_cast<std::uint8_t>(1 + i % 255)));
    }
    done = true;
  });

  std::atomic<int> torn_reads{0};
  std::atomic<long> reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        const cy_battery_info info = manager.get_battery_info();
        if (info.level != 0 && !consistent(info)) ++torn_reads;
        ++reads;
      }
    });
  }
  std::thread switcher([&] {
    for (int i = 0; !done; ++i) {
      switch (i % 3) {
        case 0: manager.set_callback_battery(count_record, &first); break;
        case 1: manager.set_callback_battery(count_record, &second); break;
        default: manager.set_callback_battery(nullptr, nullptr); break;
      }
      std::this_thread::yield();
    }
  });

  notifier.join();
  for (std::thread& reader : readers) reader.join();
  switcher.join();

  EXPECT_EQ(torn_reads.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(first.torn.load() + second.torn.load(), 0);
  EXPECT_LE(first.calls.load() + second.calls.load(), notifications);

  const cy_battery_info last = manager.get_battery_info();
  EXPECT_EQ(last.level, 1 + (notifications - 1) % 255);
  EXPECT_TRUE(consistent(last));
}

}  // namespace
}  // namespace calyra::core
