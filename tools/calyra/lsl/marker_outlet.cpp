#include "lsl/marker_outlet.h"

#include <stdexcept>

#include "lsl/stream_metadata.h"

namespace calyra::lsl {

marker_outlet::marker_outlet(const api& library, const clock_link& clock_link, const std::string& eeg_name,
                             const std::string& eeg_source_id)
    : library_(library), clock_link_(clock_link), name_(eeg_name + " Markers") {
  owned_streaminfo info = make_marker_info(library_, eeg_name, eeg_source_id);
  if (!info) throw std::runtime_error("liblsl could not describe the stream \"" + name_ + "\"");
  outlet_ = owned_outlet(library_.create_outlet(info.get(), 1, max_buffered_markers / 100), library_.destroy_outlet);
  if (!outlet_) throw std::runtime_error("liblsl could not create the stream \"" + name_ + "\"");
  owned_streaminfo created(library_.get_info(outlet_.get()), library_.destroy_streaminfo);
  if (created) uid_ = copy_string(library_.get_uid(created.get()));
}

void marker_outlet::push(std::int64_t host_time_ns, const std::string& text) {
  const char* data[] = {text.c_str()};
  std::lock_guard lock(mutex_);
  library_.push_sample_strtp(outlet_.get(), data, clock_link_.lsl_time_of(host_time_ns), 1);
}

}  // namespace calyra::lsl
