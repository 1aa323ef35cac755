// The two threads that watch the application's output.
#pragma once

#include <string>

#include "launch_log.h"
#include "line_reader.h"
#include "splash_screen.h"

namespace calyra::launcher {

// Logs each standard-output line as "stdout: <line>" until the end of the
// stream or a line holding "Closing application". Closes the pipe when it
// stops.
void read_application_stdout(line_reader reader, launch_log& log);

// Logs each standard-error line as "stderr: <line>". "Setup done" closes the
// splash and waits for it; "Error" closes the splash, and before "Setup done"
// also starts the error browser and stops reading. Closes the pipe when it
// stops. The splash stays with the caller, which must not touch it until
// this returns. A failed start of the error browser is reported on standard
// error and in the log, and ends the reading.
void read_application_stderr(line_reader reader, launch_log& log, splash_screen& splash,
                             const std::string& error_browser);

}  // namespace calyra::launcher
