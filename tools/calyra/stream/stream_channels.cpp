#include "stream/stream_channels.h"

#include <cycore.h>
#include <cycore/eeg_manager.h>

#include <algorithm>
#include <string>

namespace calyra::stream {
namespace {

// The accelerometer converts 16-bit readings; the coarsest model scale
// (3.9 milli-g per count) reaches about 1253 m/s^2 at full scale.
constexpr double accel_full_scale = 1300.0;
constexpr double counts_full_scale = 8388607.0;

std::size_t position_of(const std::vector<std::uint16_t>& ids, std::uint16_t id) {
  return static_cast<std::size_t>(std::lower_bound(ids.begin(), ids.end(), id) - ids.begin());
}

double element_as_double(const void* data, std::uint8_t type, std::size_t i) {
  switch (type) {
    case CY_CHANNEL_FLOAT32: return static_cast<const float*>(data)[i];
    case CY_CHANNEL_UINT8: return static_cast<const std::uint8_t*>(data)[i];
    case CY_CHANNEL_UINT64: return static_cast<double>(static_cast<const std::uint64_t*>(data)[i]);
    case CY_CHANNEL_FLOAT64: return static_cast<const double*>(data)[i];
    default: return 0.0;
  }
}

}  // namespace

double electrode_full_scale_uv(unsigned gain) { return 4.5e6 / gain; }

stream_plan plan_stream(const channel_request& request) {
  using recording::signal_kind;
  stream_plan plan;
  struct pending {
    std::uint16_t id;
    recording::signal_description description;
  };
  std::vector<pending> wanted;
  const double uv = electrode_full_scale_uv(request.gain);
  for (unsigned e : request.electrodes) {
    const auto id = static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_MEASUREMENT + e - 1);
    if (request.impedance) {
      wanted.push_back({id, {signal_kind::electrode, "E" + std::to_string(e), "counts",
                             -counts_full_scale, counts_full_scale}});
    } else {
      wanted.push_back({id, {signal_kind::electrode, "E" + std::to_string(e), "uV", -uv, uv}});
    }
  }
  if (request.contact) {
    for (unsigned e : request.electrodes) {
      const auto id = static_cast<std::uint16_t>(CY_CHANNEL_ELECTRODE_CONTACT + e - 1);
      wanted.push_back({id, {signal_kind::contact, "Contact E" + std::to_string(e), "", 0.0, 1.0}});
    }
  }
  if (request.accel) {
    const char* axes[] = {"X", "Y", "Z"};
    const std::uint16_t ids[] = {CY_CHANNEL_ACCELEROMETER_X, CY_CHANNEL_ACCELEROMETER_Y,
                                 CY_CHANNEL_ACCELEROMETER_Z};
    for (int a = 0; a < 3; ++a) {
      wanted.push_back({ids[a], {signal_kind::accelerometer, std::string("Accel ") + axes[a], "m/s2",
                                 -accel_full_scale, accel_full_scale}});
    }
  }

  plan.channel_ids = {CY_CHANNEL_SAMPLE_NUMBER, CY_CHANNEL_STREAMING};
  for (const pending& p : wanted) plan.channel_ids.push_back(p.id);
  std::sort(plan.channel_ids.begin(), plan.channel_ids.end());

  for (const pending& p : wanted) {
    if (p.description.kind == signal_kind::electrode) plan.electrode_signals.push_back(plan.signals.size());
    plan.signals.push_back(p.description);
    plan.signal_positions.push_back(position_of(plan.channel_ids, p.id));
  }
  plan.sample_number_position = position_of(plan.channel_ids, CY_CHANNEL_SAMPLE_NUMBER);
  plan.streaming_position = position_of(plan.channel_ids, CY_CHANNEL_STREAMING);
  return plan;
}

void convert_chunk(const stream_plan& plan, const void* const* channel_data,
                   const std::uint8_t* types, std::size_t type_count, std::size_t sample_count,
                   recording::sample_block& out) {
  out.reset(plan.signals.size());
  auto column = [&](std::size_t position, auto&& store) {
    const bool usable = position < type_count && channel_data[position] != nullptr;
    for (std::size_t i = 0; i < sample_count; ++i) {
      store(usable ? element_as_double(channel_data[position], types[position], i) : 0.0);
    }
  };
  // Sample numbers are copied exactly; a double holds them only up to 2^53.
  const std::size_t sn = plan.sample_number_position;
  if (sn < type_count && channel_data[sn] != nullptr && types[sn] == CY_CHANNEL_UINT64) {
    const auto* numbers = static_cast<const std::uint64_t*>(channel_data[sn]);
    out.sample_numbers.assign(numbers, numbers + sample_count);
  } else {
    column(sn, [&](double v) { out.sample_numbers.push_back(static_cast<std::uint64_t>(v)); });
  }
  column(plan.streaming_position, [&](double v) { out.streaming.push_back(v != 0.0 ? 1 : 0); });
  for (std::size_t s = 0; s < plan.signals.size(); ++s) {
    out.signals[s].reserve(sample_count);
    column(plan.signal_positions[s], [&](double v) { out.signals[s].push_back(v); });
  }
}

}  // namespace calyra::stream
