#include "sinks/recording_sink.h"

namespace calyra::sinks {
namespace {

stream::pipeline_settings pipeline_settings_of(const session::headset_stream& h, const recording_settings& s,
                                               const recording_files& files) {
  stream::pipeline_settings settings;
  settings.rate_hz = h.settings().rate_hz;
  settings.filters = s.filters;
  settings.filter_output = s.filter_output;
  settings.events_path = files.events.temporary_path();
  settings.events_name = files.events.final_path();
  return settings;
}

}  // namespace

recording_sink::recording_sink(session::headset_stream& h, std::unique_ptr<recording_files> files,
                               const recording_settings& settings)
    : headset_(h), files_(std::move(files)), settings_(settings), layout_(layout_of()) {
  auto writer = recording::open_recording(files_->data.temporary_path(),
                                          recording::recording_format_of(files_->data.final_path()), layout_);
  pipeline_ = std::make_unique<stream::recording_pipeline>(h.plan().signals, h.plan().electrode_signals,
                                                           pipeline_settings_of(h, settings_, *files_),
                                                           std::move(writer));
  pipeline_->set_clock(&h.clock());
  // Written now with what is known, so that a run that never finishes
  // still leaves its description; again once the start is known.
  describe_so_far();
  pipeline_->on_start_settled([this] { describe_so_far(); });
}

recording_layout recording_sink::layout_of() const {
  const device::headset& h = headset_.device();
  recording_layout layout;
  layout.signals = headset_.plan().signals;
  layout.sample_rate_hz = headset_.settings().rate_hz;
  layout.equipment = "Calyra " + h.model_name() + " fw " + device::version_text(h.info().firmware_version);
  if (settings_.filter_output) layout.prefilter = filtering::describe_output_filter(settings_.filters);
  layout.subject = settings_.subject;
  layout.session = settings_.session;
  layout.note = settings_.note;
  layout.file_name = files_->data.final_path();
  layout.start_time = std::chrono::system_clock::now();
  return layout;
}

recording_description recording_sink::description(const std::string& stop_reason) const {
  const device::headset& h = headset_.device();
  recording_description d;
  d.program_version = CALYRA_VERSION;
  d.device_name = h.name();
  d.model = h.model_name();
  d.model_code = h.info().id;
  d.serial_number = std::to_string(h.info().serial_number);
  d.hardware_version = device::version_text(h.info().hardware_version);
  d.firmware_version = device::version_text(h.info().firmware_version);
  d.gain = headset_.settings().gain;
  d.impedance = headset_.settings().impedance;
  d.bandpass = settings_.bandpass_text;
  d.notch_hz = settings_.filters.notch_hz;
  d.filtered_output = settings_.filter_output;
  d.samples = pipeline_->samples();
  d.missed_packets = pipeline_->missed_packets(headset_.samples_per_lost_packet());
  d.lost_samples = pipeline_->lost_samples();
  d.annotations = pipeline_->annotations();
  d.stop_reason = stop_reason;
  d.recording_file = files_->data.final_path();
  d.events_file = files_->events.final_path();
  d.first_sample_time = pipeline_->first_sample_time();
  d.clock = stream::describe_clock(headset_.clock().info());
  if (settings_.lsl_state) d.lsl = settings_.lsl_state();
  for (const session::link_outage& o : headset_.outages()) {
    d.outages.push_back({static_cast<std::int64_t>(o.first_filled) -
                             static_cast<std::int64_t>(pipeline_->first_sample_number().value_or(0)), o.seconds,
                         o.filled, o.attempts, o.recovered});
  }
  return d;
}

void recording_sink::describe_so_far() {
  recording_description d = description({});
  d.state = "recording";
  recording::write_json_sidecar(files_->description.temporary_path(), layout_, d, files_->description.final_path());
}

void recording_sink::tick() {
  // An outage is described when the link is lost and again once the
  // headset is back.
  const std::size_t state = headset_.outages_over() * 2 + (headset_.reconnecting() ? 1 : 0);
  if (state == outages_described_) return;
  outages_described_ = state;
  describe_so_far();
}

void recording_sink::rows(const sample_block& rows) {
  try {
    pipeline_->accept(rows);
  } catch (const recording::recording_error& e) {
    if (rows_failure_.empty()) rows_failure_ = e.what();
    throw;
  }
}

void recording_sink::event(const session::placed_event& event) {
  pipeline_->annotate(event.sample, event.text, event.source);
}

void recording_sink::finish(const session::run_end& end) {
  if (pipeline_->samples() == 0) {
    written_ = {"none: no sample arrived"};
    return;
  }
  std::string failure = rows_failure_;
  try {
    pipeline_->finish();
  } catch (const recording::recording_error& e) {
    failure = e.what();  // says what the finished file holds
  }
  try {
    recording::write_json_sidecar(files_->description.temporary_path(), layout_, description(end.stop_reason),
                                  files_->description.final_path());
  } catch (const recording::recording_error& e) {
    if (failure.empty()) failure = e.what();
  }
  try {
    files_->commit();
    written_ = {files_->data.final_path(), files_->events.final_path(), files_->description.final_path()};
  } catch (const recording::recording_error& e) {
    if (failure.empty()) failure = e.what();
  }
  if (failure.empty()) return;
  if (!written_.empty()) written_.front() += " (incomplete: see the error below)";
  throw session::sink_failure(failure);
}

}  // namespace calyra::sinks
