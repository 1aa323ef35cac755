// A stimulus program for the photodiode tests, run in its own process: it
// publishes a marker stream and, at random moments, fires the headset's
// trigger input (calyra-fake-bluez's Trigger(), the "photodiode") and sends
// a marker stamped with the moment just before the call, as a stimulus
// program stamps its onsets.
//
//   lsl_stimulus NAME ADDRESS COUNT SEED
//
// It waits for a consumer first, prints "sent TEXT BEFORE_NS AFTER_NS"
// (CLOCK_MONOTONIC) per marker, and lingers a second before it exits.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

#include "lsl/handles.h"
#include "lsl/library_loader.h"
#include "lsl/lsl_clock.h"
#include "private_bus.h"

using namespace calyra::lsl;

namespace {

std::int64_t monotonic_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: lsl_stimulus NAME ADDRESS COUNT SEED\n");
    return 2;
  }
  try {
    const api& lsl = library();
    const clock_link link(lsl);
    calyra::test::trigger_line trigger(argv[2]);
    owned_streaminfo info(lsl.create_streaminfo(argv[1], "Markers", 1, irregular_rate, format_string, argv[1]),
                          lsl.destroy_streaminfo);
    owned_outlet out(lsl.create_outlet(info.get(), 0, 360), lsl.destroy_outlet);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (lsl.have_consumers(out.get()) == 0) {
      if (std::chrono::steady_clock::now() > give_up) throw std::runtime_error("no consumer");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::mt19937 random(static_cast<std::uint32_t>(std::stoul(argv[4])));
    std::uniform_int_distribution<int> gap_ms(250, 750);
    const int count = std::stoi(argv[3]);
    for (int i = 1; i <= count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms(random)));
      const std::int64_t before = monotonic_ns();
      trigger.fire();
      const std::int64_t after = monotonic_ns();
      const std::string text = std::string(argv[1]) + " pulse " + std::to_string(i);
      const char* data[] = {text.c_str()};
      lsl.push_sample_strtp(out.get(), data, link.lsl_time_of(before), 1);
      std::printf("sent %s %lld %lld\n", text.c_str(), static_cast<long long>(before), static_cast<long long>(after));
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lsl_stimulus: %s\n", e.what());
    return 1;
  }
  return 0;
}
