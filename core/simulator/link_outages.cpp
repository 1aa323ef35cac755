#include "simulator/link_outages.h"

#include <cmath>

namespace calyra::simulator {

link_outages::link_outages(double drop_every_s, double down_ms, std::uint64_t seed)
    : mean_ns_(drop_every_s * 1e9),
      down_(std::llround(down_ms * 1e6)),
      random_state_(seed ^ 0x64726f70ull) {}  // "drop": apart from loss and radio

double link_outages::uniform() {
  // splitmix64, as the radio schedule.
  std::uint64_t x = (random_state_ += 0x9e3779b97f4a7c15ull);
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  x ^= x >> 31;
  return static_cast<double>(x >> 11) * 0x1.0p-53;
}

void link_outages::link_up(clock::time_point now) {
  if (mean_ns_ <= 0.0) return;
  next_drop_ = now + clock::duration(std::llround(-std::log1p(-uniform()) * mean_ns_));
}

void link_outages::lost(clock::time_point at, clock::duration down) {
  next_drop_ = clock::time_point::max();
  back_at_ = at + down;
}

}  // namespace calyra::simulator
