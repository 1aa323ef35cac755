// Ctrl-C (SIGINT), SIGTERM and SIGHUP turn into a counter that the stream loop polls,
// so the stream can stop, flush and close its file before the program ends.
#pragma once

#include <string>

namespace calyra::app {

// Installs the handlers and ignores SIGPIPE, so that a closed standard
// output (a pipe into `head`, a `tee` that died with the terminal's Ctrl-C)
// shows up as failed writes instead of killing a recording.
//
// Until recording_started(), a second signal ends the program at once with
// status 130 (after removing the file named by discard_on_exit): nothing is
// recorded yet, and a connect can take seconds. From then on the handlers
// never end the program: a second signal only tells the stream to stop
// waiting for the headset, because a recording cut off by the default action
// is an unreadable file.
void install_interrupt_handlers();

// `path` (kept by the caller until the recording starts, or until it calls
// keep_on_exit) is removed when a second signal ends the program before the
// recording starts. Up to 128 paths are kept: three for each of many
// headsets, and the session's description.
void discard_on_exit(const char* path);
// Forgets `path`: its owner no longer keeps it.
void keep_on_exit(const char* path);
void recording_started();

// True once SIGINT, SIGTERM or SIGHUP has arrived.
bool interrupt_requested();

// True once a second such signal has arrived: stop waiting for the
// headset, close the file and leave.
bool interrupt_insisted();

// "stopped by Ctrl-C", ... for the first signal that arrived.
std::string interrupt_reason();

}  // namespace calyra::app
