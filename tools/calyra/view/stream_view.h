// Starting the live view for a stream command.
#pragma once

#include <memory>
#include <string>

#include "cli/options.h"
#include "stream/recording_pipeline.h"
#include "stream/stream_channels.h"
#include "view/live_view.h"

namespace calyra::view {

// When the options ask for the view: starts it, prints its address, and
// makes it the observer of `pipeline` (which must outlive it). Otherwise
// returns null.
std::unique_ptr<live_view> open_stream_view(const cli::stream_options& options,
                                            const stream::stream_plan& plan, const std::string& device,
                                            stream::recording_pipeline& pipeline);

}  // namespace calyra::view
