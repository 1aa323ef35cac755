// Something that watches the samples and annotations a stream records,
// such as the live view. Called on the thread that runs the pipeline, in
// the order things are recorded; an observer copies what it needs and
// returns at once, so that it can never hold up the recording.
#pragma once

#include <cstdint>
#include <string>

#include "recording/sample_block.h"

namespace calyra::stream {

class pipeline_observer {
 public:
  virtual ~pipeline_observer() = default;
  // Rows as counted and graded (unfiltered, cut at the requested length).
  virtual void rows_accepted(const recording::sample_block& rows) = 0;
  virtual void annotation_placed(std::int64_t sample, const std::string& text) = 0;
};

}  // namespace calyra::stream
