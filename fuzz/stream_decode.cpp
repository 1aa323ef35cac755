// Stream decoding through the manager, for every model, channel layout and
// impedance mode. A supported headset of the chosen model is connected over
// the fake backend; the fuzzer picks the enabled channels (also ids the model
// does not have), gains, impedance mode and chunk size, starts the stream and
// delivers stream_data notifications: well-formed packets with chosen
// counters (in order, lost packets, repeats, jumps, wraps), values, status
// bits and accelerometer readings, damaged packets, and raw payloads of any
// size, with stops, restarts, failing starts, link drops and reconnects in
// between. Every chunk is read whole against the channel types the manager
// reports and holds at most chunk_size samples; after a link loss the
// manager is neither connected nor streaming and refuses a start; a failed
// start leaves it not streaming; once freed it holds nothing of the headset.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "capabilities/device_features.h"
#include "cycore.h"
#include "protocol/packet_encoder.h"
#include "library/state.h"
#include "support/check.h"
#include "support/fake_headset.h"
#include "support/quiet_streams.h"

namespace {

using calyra::core::default_config;
using calyra::core::device_features_internal;
using calyra::fuzz::fake_peripheral;
using calyra::fuzz::role;
namespace protocol = calyra::core::protocol;
namespace channel = calyra::core::eeg_channel_id;


struct stream_run {
  cy_eeg_manager* manager = nullptr;
  std::uint64_t chunk_size = 0;  // the largest configured since the first start
  double sink = 0.0;
};

template <class T>
double sum_of(const void* data, std::size_t count) {
  const auto* values = static_cast<const T*>(data);
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) sum += static_cast<double>(values[i]);
  return sum;
}

void on_chunk(const void* const* data, std::size_t count, void* user_data) {
  auto* run = static_cast<stream_run*>(user_data);
  FUZZ_CHECK(count > 0);
  FUZZ_CHECK(count <= run->chunk_size);
  const std::uint8_t* types = nullptr;
  std::size_t channels = 0;
  cy_eeg_manager_get_stream_channel_data_types(run->manager, &types, &channels);
  for (std::size_t c = 0; c < channels; ++c) {
    // Every typed channel hands over `count` readable elements; a channel
    // without a type has no data.
    switch (types[c]) {
      case CY_CHANNEL_FLOAT32: run->sink += sum_of<float>(data[c], count); break;
      case CY_CHANNEL_UINT8: run->sink += sum_of<std::uint8_t>(data[c], count); break;
      case CY_CHANNEL_UINT64: run->sink += sum_of<std::uint64_t>(data[c], count); break;
      case CY_CHANNEL_FLOAT64: run->sink += sum_of<double>(data[c], count); break;
      default: FUZZ_CHECK(data[c] == nullptr);
    }
  }
}

// The stream settings of one start, as the fuzzer chose them.
struct layout {
  std::vector<std::uint8_t> streamed;  // electrodes of the model with a channel enabled
  bool impedance = false;
};

layout apply_settings(FuzzedDataProvider& in, cy_eeg_manager* m, const device_features_internal& model) {
  layout chosen;
  // Bits beyond the model's electrodes enable ids it does not have.
  const auto measurements = in.ConsumeIntegral<std::uint64_t>();
  const auto contacts = in.ConsumeIntegral<std::uint64_t>();
  const auto others = in.ConsumeIntegral<std::uint8_t>();
  for (unsigned e = 0; e < 64; ++e) {
    const bool measured = (measurements >> e) & 1;
    const bool contact = (contacts >> e) & 1;
    if (measured) cy_eeg_manager_set_channel_enabled(m, static_cast<std::uint16_t>(channel::ELECTRODE_MEASUREMENT + e), true);
    if (contact) cy_eeg_manager_set_channel_enabled(m, static_cast<std::uint16_t>(channel::ELECTRODE_CONTACT + e), true);
    if ((measured || contact) && e < model.electrode_count()) chosen.streamed.push_back(static_cast<std::uint8_t>(e));
  }
  const std::uint16_t other_ids[] = {channel::SAMPLE_NUMBER, channel::STREAMING, channel::ACCELEROMETER_X,
                                     channel::ACCELEROMETER_Y, channel::ACCELEROMETER_Z};
  for (unsigned i = 0; i < 5; ++i) {
    if ((others >> i) & 1) cy_eeg_manager_set_channel_enabled(m, other_ids[i], true);
  }
  for (int gains = in.ConsumeIntegralInRange(0, 3); gains > 0; --gains) {
    const auto electrode = in.ConsumeIntegral<std::uint8_t>();
    cy_eeg_manager_set_channel_gain(m, static_cast<std::uint16_t>(channel::ELECTRODE_MEASUREMENT + electrode),
                                    in.ConsumeIntegral<std::uint8_t>());
  }
  const std::uint8_t impedance = in.ConsumeBool() ? in.ConsumeIntegral<std::uint8_t>() : 0;
  cy_eeg_manager_set_impedance_mode(m, impedance);
  chosen.impedance = impedance != 0;
  return chosen;
}

// A well-formed payload: S x L values on a walk with a chosen step size.
std::string packet(FuzzedDataProvider& in, const device_features_internal& model, const layout& chosen,
                   std::uint32_t counter) {
  const protocol::packet_shape shape{model.electrode_count(), model.samples_per_packet(),
                                     model.sample_difference_size(), model.has_accel()};
  const protocol::packet_encoder encoder(shape, chosen.streamed, chosen.impedance);
  std::vector<std::int32_t> values(shape.samples_per_packet * chosen.streamed.size());
  std::int32_t level = in.ConsumeIntegral<std::int32_t>() >> in.ConsumeIntegralInRange(0, 31);
  const int step_bits = in.ConsumeIntegralInRange(0, 24);
  std::uint32_t state = in.ConsumeIntegral<std::uint32_t>();
  for (auto& v : values) {
    state = state * 1664525u + 1013904223u;
    const std::int64_t step = static_cast<std::int64_t>(state >> 8) % (std::int64_t{1} << step_bits);
    level = static_cast<std::int32_t>(std::clamp<std::int64_t>(level + step - (std::int64_t{1} << step_bits) / 2,
                                                                -16777216, 16777216));
    v = level;
  }
  protocol::packet_content content;
  content.values = values;
  content.status_bits = in.ConsumeIntegral<std::uint32_t>();
  content.accel = {in.ConsumeIntegral<std::int16_t>(), in.ConsumeIntegral<std::int16_t>(),
                   in.ConsumeIntegral<std::int16_t>()};
  content.counter = counter;
  return encoder.encode(content);
}

class stream_session {
 public:
  stream_session(FuzzedDataProvider& in, std::uint8_t model_code)
      : in_(in),
        model_(*calyra::core::capabilities::for_model_code(model_code)),
        headset_(std::make_shared<fake_peripheral>("FUZZ 1")) {
    calyra::fuzz::set_supported_device(*headset_, model_code);
    calyra::fuzz::install_backend(headset_);
    run_.manager = cy_eeg_manager_new();
    run_.chunk_size = calyra::core::current_config().chunk_size;
    cy_eeg_manager_set_callback_chunk(run_.manager, on_chunk, &run_);
  }
  ~stream_session() {
    cy_eeg_manager_stop_stream(run_.manager, nullptr, nullptr);
    cy_eeg_manager_disconnect(run_.manager);
    cy_eeg_manager_free(run_.manager);
    // A freed manager holds no link and no handler: nothing of it can run.
    FUZZ_CHECK(headset_->idle());
  }
  stream_session(const stream_session&) = delete;
  stream_session& operator=(const stream_session&) = delete;

  void connect_and_start() {
    FUZZ_CHECK(cy_eeg_manager_connect(run_.manager, "FUZZ 1", nullptr, nullptr) == CY_OK);
    start();
  }

  void start() {
    layout_ = apply_settings(in_, run_.manager, model_);
    FUZZ_CHECK(cy_eeg_manager_start_stream(run_.manager, nullptr, nullptr) == CY_OK);
    counter_ = static_cast<std::uint32_t>(model_.samples_per_packet() - 1);
  }

  void step() {
    const std::uint32_t samples = model_.samples_per_packet();
    switch (in_.ConsumeIntegralInRange(0, 13)) {
      case 0: case 1: case 2: case 3:  // the next packet
        deliver(packet(in_, model_, layout_, counter_));
        counter_ += samples;
        break;
      case 4:  // lost packets before this one
        counter_ += samples * in_.ConsumeIntegralInRange<std::uint32_t>(1, 40);
        deliver(packet(in_, model_, layout_, counter_));
        counter_ += samples;
        break;
      case 5:  // any counter: repeats, steps back, huge jumps, wraps
        counter_ = in_.ConsumeBool() ? counter_ + static_cast<std::uint32_t>(in_.ConsumeIntegral<std::int16_t>())
                                     : in_.ConsumeIntegral<std::uint32_t>();
        deliver(packet(in_, model_, layout_, counter_));
        counter_ += samples;
        break;
      case 6: {  // a packet damaged in one byte, or cut short, or lengthened
        std::string payload = packet(in_, model_, layout_, counter_);
        counter_ += samples;
        const auto at = in_.ConsumeIntegralInRange<std::size_t>(0, payload.size());
        switch (in_.ConsumeIntegralInRange(0, 2)) {
          case 0: if (at < payload.size()) payload[at] = static_cast<char>(in_.ConsumeIntegral<std::uint8_t>()); break;
          case 1: payload.resize(at); break;
          default: payload.append(in_.ConsumeIntegralInRange<std::size_t>(1, 64), '\x5a');
        }
        deliver(payload);
        break;
      }
      case 7:  // any bytes
        deliver(in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange<std::size_t>(0, 512)));
        break;
      case 8:  // stop, then start with new settings
        cy_eeg_manager_stop_stream(run_.manager, nullptr, nullptr);
        start();
        break;
      case 9: {  // the chunk size of the next start
        cy_core_config config = calyra::core::current_config();
        config.chunk_size = in_.ConsumeIntegralInRange<std::uint64_t>(1, 300);
        calyra::core::state::store_config(config);
        // A start queued behind a stop may pick up either size.
        run_.chunk_size = std::max(run_.chunk_size, config.chunk_size);
        break;
      }
      case 10:  // the link drops; the host connects again
        headset_->drop_link();
        FUZZ_CHECK(!cy_eeg_manager_is_connected(run_.manager));
        FUZZ_CHECK(!cy_eeg_manager_is_streaming(run_.manager));
        FUZZ_CHECK(cy_eeg_manager_start_stream(run_.manager, nullptr, nullptr) == CY_CONNECTION_ERROR);
        cy_eeg_manager_stop_stream(run_.manager, nullptr, nullptr);
        if (in_.ConsumeBool()) cy_eeg_manager_disconnect(run_.manager);
        connect_and_start();
        break;
      case 11:  // a connect on the connected manager replaces the stream
        connect_and_start();
        break;
      case 12: {  // a start that fails rolls back
        // A stop runs the starts queued behind it; the next stop ends those.
        for (int stops = 0; stops < 3 && cy_eeg_manager_is_streaming(run_.manager); ++stops) {
          cy_eeg_manager_stop_stream(run_.manager, nullptr, nullptr);
        }
        FUZZ_CHECK(!cy_eeg_manager_is_streaming(run_.manager));
        const role failing = in_.ConsumeBool() ? role::stream_control : role::stream_data;
        headset_->failing.insert(failing);
        apply_settings(in_, run_.manager, model_);
        FUZZ_CHECK(cy_eeg_manager_start_stream(run_.manager, nullptr, nullptr) != CY_OK);
        FUZZ_CHECK(!cy_eeg_manager_is_streaming(run_.manager));
        headset_->failing.erase(failing);
        start();
        break;
      }
      default:  // a host that restarts without stopping
        cy_eeg_manager_start_stream(run_.manager, nullptr, nullptr);
        break;
    }
  }

 private:
  void deliver(const std::string& payload) { headset_->deliver(role::stream_data, payload); }

  FuzzedDataProvider& in_;
  const device_features_internal& model_;
  std::shared_ptr<fake_peripheral> headset_;
  stream_run run_;
  layout layout_;
  std::uint32_t counter_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  calyra::fuzz::silence_iostreams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto model_code = in.ConsumeIntegralInRange<std::uint8_t>(0, calyra::core::capabilities::max_model_code);
  cy_core_config config = default_config();
  config.chunk_size = in.ConsumeIntegralInRange<std::uint64_t>(1, 300);
  calyra::core::state::store_config(config);

  stream_session session(in, model_code);
  session.connect_and_start();
  while (in.remaining_bytes() > 0) session.step();
  return 0;
}
