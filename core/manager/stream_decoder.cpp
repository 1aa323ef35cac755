// Decoding of stream_data payloads: gap detection and filling, 24-bit and
// 12-bit value decoding, scaling, and chunk delivery.
#include "manager/stream_decoder.h"

#include <algorithm>
#include <sstream>
#include <utility>

#include "manager/conversions.h"
#include "manager/packet_codec.h"

namespace calyra::core {

namespace {

// A counter jump beyond this many samples is a corrupt or wrapped counter,
// not lost packets: it is reported but not filled.
constexpr std::uint64_t max_filled_gap = 65536;

// This first sample number never counts as a gap.
constexpr std::uint64_t never_a_gap = 0x80000001u;

// Room reserved per buffer. A chunk larger than this (a huge configured
// chunk_size) grows its buffers on demand instead of reserving gigabytes up
// front.
constexpr std::size_t max_reserved_samples = std::size_t{1} << 16;

template <class T>
void rebuild_family(std::vector<std::vector<T>>& family, std::size_t channels, std::size_t reserve) {
  family.clear();
  family.resize(channels);
  for (auto& buffer : family) buffer.reserve(reserve);
}

template <class T>
void empty_all(std::vector<std::vector<T>>& family) {
  for (auto& buffer : family) buffer.clear();  // capacity kept
}

// A channel the decoder never feeds (an accelerometer channel enabled on a
// model without one) would otherwise hand the host an array shorter than
// the chunk; such arrays are zero-filled instead.
template <class T>
void pad_to(std::vector<std::vector<T>>& family, std::size_t count) {
  for (auto& buffer : family) {
    if (buffer.size() < count) buffer.resize(count);
  }
}

}  // namespace

stream_decoder::stream_decoder(hooks h) : hooks_(std::move(h)) {}

void stream_decoder::log(log_level level, const std::string& text) const {
  if (hooks_.log) hooks_.log(level, text);
}

void stream_decoder::start(decoder_layout layout) {
  std::lock_guard lock(mutex_);
  layout_ = std::move(layout);
  std::size_t per_type[4] = {0, 0, 0, 0};
  for (const std::uint8_t type : layout_.types) {
    if (type < 4) ++per_type[type];
  }
  const std::size_t reserve = std::min(layout_.chunk_size, max_reserved_samples);
  rebuild_family(float32_, per_type[0], reserve);
  rebuild_family(uint8_, per_type[1], reserve);
  rebuild_family(uint64_, per_type[2], reserve);
  rebuild_family(float64_, per_type[3], reserve);
  chunk_samples_ = 0;
  pointers_.clear();
  pointers_.reserve(layout_.channels.size());
  next_expected_sample_ = 0;
  current_sample_ = 0;
  // The position of the last delivery is kept: when an earlier stream's last
  // delivery lies beyond the new stream's first sample, that sample goes out
  // as a chunk of its own, as hosts of this interface have always seen it.
  undecodable_ = 0;
  stats_.reset();
  build_plan();
}

void stream_decoder::build_plan() {
  const auto& channels = layout_.channels;
  const auto& types = layout_.types;
  // The index, within its type's buffers, of a streamed channel of type
  // `family`; SIZE_MAX when the channel is not streamed as that type.
  const auto buffer_of = [&](std::uint16_t id, channel_data_type family) -> std::size_t {
    const auto it = std::lower_bound(channels.begin(), channels.end(), id);
    if (it == channels.end() || *it != id) return SIZE_MAX;
    const auto position = it - channels.begin();
    const auto type = static_cast<std::uint8_t>(family);
    if (types[static_cast<std::size_t>(position)] != type) return SIZE_MAX;
    return static_cast<std::size_t>(std::count(types.begin(), types.begin() + position, type));
  };

  const device_features_internal* model = layout_.model;
  const int electrodes = model != nullptr ? model->electrode_count() : 0;
  plan_ = plan{};
  for (int e = 0; e < electrodes; ++e) {
    const auto measurement = static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_MEASUREMENT + e);
    const auto contact = static_cast<std::uint16_t>(eeg_channel_id::ELECTRODE_CONTACT + e);
    const auto m = buffer_of(measurement, channel_data_type::FLOAT64);
    const auto c = buffer_of(contact, channel_data_type::UINT8);
    const bool streamed = std::binary_search(channels.begin(), channels.end(), measurement) ||
                          std::binary_search(channels.begin(), channels.end(), contact);
    if (!streamed) continue;
    electrode_slot slot;
    slot.electrode = static_cast<std::uint8_t>(e);
    if (m != SIZE_MAX) slot.measurement = &float64_[m];
    if (c != SIZE_MAX) slot.contact = &uint8_[c];
    const auto gain = layout_.gains.find(measurement);
    slot.full_scale = 4.5 / effective_gain_multiplier(gain == layout_.gains.end() ? gain_mode::X8 : gain->second);
    plan_.electrodes.push_back(slot);
  }
  plan_.has_accel = model != nullptr && model->has_accel();
  plan_.max_samples = model != nullptr ? model->samples_per_packet() : 0;
  for (std::size_t axis = 0; axis < accelerometer_channels.size(); ++axis) {
    const auto i = buffer_of(accelerometer_channels[axis], channel_data_type::FLOAT32);
    plan_.accel[axis] = plan_.has_accel && i != SIZE_MAX ? &float32_[i] : nullptr;
  }
  const auto sample_number = buffer_of(eeg_channel_id::SAMPLE_NUMBER, channel_data_type::UINT64);
  plan_.sample_number = sample_number != SIZE_MAX ? &uint64_[sample_number] : nullptr;
  const auto flag = buffer_of(eeg_channel_id::STREAMING, channel_data_type::UINT8);
  plan_.streaming_flag = flag != SIZE_MAX ? &uint8_[flag] : nullptr;

  const auto count = static_cast<std::size_t>(electrodes);
  if (running_.size() < count) running_.resize(count);
  if (last_values_.size() < count) last_values_.resize(count, 0.0);
}

void stream_decoder::flush() {
  std::lock_guard lock(mutex_);
  flush_locked();
}

void stream_decoder::flush_locked() {
  if (chunk_samples_ == 0) return;
  if (hooks_.deliver) {
    pad_to(float32_, chunk_samples_);
    pad_to(uint8_, chunk_samples_);
    pad_to(uint64_, chunk_samples_);
    pad_to(float64_, chunk_samples_);
    pointers_.clear();
    std::size_t next[4] = {0, 0, 0, 0};
    for (const std::uint8_t type : layout_.types) {
      switch (type) {
        case 0: pointers_.push_back(float32_[next[0]++].data()); break;
        case 1: pointers_.push_back(uint8_[next[1]++].data()); break;
        case 2: pointers_.push_back(uint64_[next[2]++].data()); break;
        case 3: pointers_.push_back(float64_[next[3]++].data()); break;
        default: pointers_.push_back(nullptr); break;
      }
    }
    hooks_.deliver(pointers_.data(), chunk_samples_);
  }
  chunk_samples_ = 0;
  empty_all(float32_);
  empty_all(uint8_);
  empty_all(uint64_);
  empty_all(float64_);
  last_delivered_sample_ = current_sample_;
}

std::uint64_t stream_decoder::end() {
  std::lock_guard lock(mutex_);
  return std::exchange(current_sample_, 0);
}

void stream_decoder::discard() {
  std::lock_guard lock(mutex_);
  empty_all(float32_);
  empty_all(uint8_);
  empty_all(uint64_);
  empty_all(float64_);
  chunk_samples_ = 0;
  current_sample_ = 0;
}

std::int32_t stream_decoder::missed_packets() const {
  std::lock_guard lock(mutex_);
  return missed_packets_;
}

std::vector<std::uint8_t> stream_decoder::streamed_electrodes() const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint8_t> electrodes;
  for (const electrode_slot& slot : plan_.electrodes) electrodes.push_back(slot.electrode);
  return electrodes;
}

void stream_decoder::drop_undecodable(std::size_t payload_size, bool impedance) {
  if (undecodable_++ != 0) return;
  const std::size_t streamed = plan_.electrodes.size();
  std::ostringstream out;
  if (streamed == 0 || plan_.max_samples == 0) {
    out << "Dropping undecodable stream packets (first: " << payload_size
        << " bytes; no streamed electrode to decode)";
  } else {
    const auto electrodes = static_cast<std::size_t>(layout_.model->electrode_count());
    const auto size_of = [&](std::size_t samples) {
      return packet_codec::payload_size(samples, streamed, electrodes, plan_.has_accel, impedance);
    };
    out << "Dropping undecodable stream packets (first: " << payload_size << " bytes for " << streamed
        << " streamed electrodes, where a packet of 1 to " << plan_.max_samples << " samples has " << size_of(1)
        << " to " << size_of(plan_.max_samples) << " bytes)";
  }
  log(log_level::WARNING, out.str());
}

void stream_decoder::append_filler_sample(std::uint64_t sample_number, float accel_zero, bool impedance) {
  for (const electrode_slot& slot : plan_.electrodes) {
    if (slot.measurement) slot.measurement->push_back(impedance ? last_values_[slot.electrode] : 0.0);
    if (slot.contact) slot.contact->push_back(impedance ? 1 : 0);
  }
  if (plan_.has_accel) {
    for (auto* axis : plan_.accel) {
      if (axis) axis->push_back(accel_zero);
    }
  }
  if (plan_.sample_number) plan_.sample_number->push_back(sample_number);
  if (plan_.streaming_flag) plan_.streaming_flag->push_back(0);
}

// Besides the delivery points of the sample counters, both deliver as soon as
// the chunk is full, whatever mix of filler and decoded samples it holds: a
// chunk next to a gap would otherwise carry up to twice chunk_size samples,
// and hosts size their buffers by chunk_size.
void stream_decoder::after_filler_sample() {
  ++chunk_samples_;
  ++next_expected_sample_;
  if (current_sample_ - next_expected_sample_ >= layout_.chunk_size || chunk_samples_ >= layout_.chunk_size) {
    flush_locked();
  }
}

void stream_decoder::after_decoded_sample() {
  ++chunk_samples_;
  ++current_sample_;
  if (current_sample_ - last_delivered_sample_ >= layout_.chunk_size || chunk_samples_ >= layout_.chunk_size) {
    flush_locked();
  }
  next_expected_sample_ = current_sample_;
}

void stream_decoder::decode(std::string_view payload, bool impedance, std::optional<std::int64_t> arrival_ns) {
  std::lock_guard lock(mutex_);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
  const std::size_t size = payload.size();
  const std::size_t streamed = plan_.electrodes.size();
  const device_features_internal* model = layout_.model;
  const auto electrodes = static_cast<std::size_t>(model != nullptr ? model->electrode_count() : 0);

  const auto layout =
      packet_codec::compute_layout(size, streamed, electrodes, plan_.has_accel, impedance, plan_.max_samples);
  if (!layout) {
    stats_.count_undecodable();
    drop_undecodable(size, impedance);
    return;
  }

  const std::uint32_t counter = packet_codec::read_u32le(bytes + layout->counter_offset);
  if (arrival_ns && hooks_.packet_arrived) hooks_.packet_arrived(counter, *arrival_ns);
  const std::uint32_t first = counter + 1u - static_cast<std::uint32_t>(layout->samples);
  current_sample_ = first;

  const float accel_zero = plan_.has_accel ? model->convert_accel(0) : 0.0f;
  const bool gap = current_sample_ != next_expected_sample_ && current_sample_ != never_a_gap;
  const bool fill = gap && current_sample_ > next_expected_sample_ &&
                    current_sample_ - next_expected_sample_ <= max_filled_gap;
  // Counted before any sample of the packet goes out: a chunk callback that
  // receives a filler sample finds it in the stats already.
  const std::uint64_t filled = fill ? current_sample_ - next_expected_sample_ : 0;
  stats_.count_packet((filled + layout->samples - 1) / layout->samples, filled);
  if (gap) {
    if (!impedance) {
      ++missed_packets_;
      if (hooks_.gap) hooks_.gap(missed_packets_, next_expected_sample_, current_sample_);
    }
    if (current_sample_ > next_expected_sample_) {
      if (fill) {
        for (std::uint64_t s = next_expected_sample_; s < current_sample_;) {
          append_filler_sample(s, accel_zero, impedance);
          after_filler_sample();
          s = next_expected_sample_;
        }
      } else {
        log(log_level::WARNING, "Sample counter jumped from " + std::to_string(next_expected_sample_) + " to " +
                                    std::to_string(current_sample_) + "; the gap is not filled");
      }
    }
  }

  // Every sample of a packet carries the same accelerometer reading.
  float accel[3] = {0.0f, 0.0f, 0.0f};
  if (plan_.has_accel) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      accel[axis] = model->convert_accel(packet_codec::read_i16le(bytes + layout->accel_offset + 2 * axis));
    }
  }

  const std::uint8_t* status = bytes + layout->status_offset;
  packet_codec::twelve_bit_reader differences(bytes + 3 * streamed);
  const std::int32_t mask = layout_.difference_mask;

  for (std::size_t s = 0; s < layout->samples; ++s) {
    for (std::size_t k = 0; k < streamed; ++k) {
      const electrode_slot& slot = plan_.electrodes[k];
      const std::uint8_t e = slot.electrode;
      double value;
      if (impedance) {
        value = packet_codec::decode_int24(bytes + 3 * streamed * s + 3 * k);
      } else {
        if (s == 0) {
          running_[e] = packet_codec::decode_int24(bytes + 3 * k);
        } else {
          running_[e] += packet_codec::decode_difference(differences.next(), mask);
        }
        value = packet_codec::to_microvolts(running_[e], slot.full_scale);
      }
      if (slot.measurement) slot.measurement->push_back(value);
      if (slot.contact) {
        slot.contact->push_back(impedance ? 1 : static_cast<std::uint8_t>((status[e / 8] >> (e % 8)) & 1));
      }
      last_values_[e] = value;
    }
    if (plan_.has_accel) {
      for (std::size_t axis = 0; axis < 3; ++axis) {
        if (plan_.accel[axis]) plan_.accel[axis]->push_back(accel[axis]);
      }
    }
    if (plan_.sample_number) plan_.sample_number->push_back(current_sample_);
    if (plan_.streaming_flag) plan_.streaming_flag->push_back(1);
    after_decoded_sample();
  }
}

}  // namespace calyra::core
