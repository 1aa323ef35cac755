// Ctrl-C (SIGINT) and SIGTERM turn into a flag that the stream loop polls,
// so the stream can stop, flush and close its file before the program ends.
#pragma once

namespace calyra::app {

// Installs the handlers. A second signal ends the program at once (the
// default action), so a stuck stop can still be interrupted.
void install_interrupt_handlers();

// True once SIGINT or SIGTERM has arrived.
bool interrupt_requested();

}  // namespace calyra::app
