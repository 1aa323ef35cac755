// CalyraBoard: starts the desktop application behind its splash screen,
// after a message step that may cancel the start, and writes the launch log.
#include <csignal>
#include <exception>
#include <iostream>
#include <thread>

#include "application_readers.h"
#include "child_process.h"
#include "fatal_error.h"
#include "launch_log.h"
#include "launch_paths.h"
#include "message_step.h"
#include "splash_screen.h"

namespace calyra::launcher {
namespace {

// Runs a reader on its own thread. A reader that fails is simply over: the
// launcher still waits for the other one and for the application.
template <class Reader>
std::jthread start_reader(Reader reader) {
  return std::jthread([reader = std::move(reader)]() mutable {
    try {
      reader();
    } catch (...) {
    }
  });
}

// The application has ended. A splash it never closed (neither "Setup done"
// nor "Error" came) would otherwise stay on screen with nobody to close it.
void finish_splash(splash_screen& splash, launch_log& log) {
  if (splash.open()) {
    log.info("Application ended with the splash screen still open, closing it...");
    splash.close(log);
  }
  // Reaps a splash killed on "Error" too; one whose kill failed may still be
  // running and is left alone.
  if (!splash.open()) splash.wait();
}

int run_application(const program_paths& programs, splash_screen& splash, launch_log& log) {
  log.info("Starting the application...");
  pipe_ends output = or_fatal("Failed to open stdout board", [] { return open_pipe(); });
  pipe_ends error = or_fatal("Failed to open stderr board", [] { return open_pipe(); });
  child_process application = or_fatal("Failed to start application", [&] {
    return start_program(programs.application,
                         {.output = output.write_end.get(), .error = error.write_end.get()});
  });
  // The readers see the end of the streams only once the application holds
  // the sole write ends.
  output.write_end.reset();
  error.write_end.reset();

  {
    std::jthread stdout_reader = start_reader([&log, pipe = std::move(output.read_end)]() mutable {
      read_application_stdout(line_reader(std::move(pipe)), log);
    });
    std::jthread stderr_reader =
        start_reader([&log, &splash, &programs, pipe = std::move(error.read_end)]() mutable {
          read_application_stderr(line_reader(std::move(pipe)), log, splash, programs.error_browser);
        });
    stdout_reader.join();
    stderr_reader.join();
  }

  (void)application.wait();
  finish_splash(splash, log);
  return 0;
}

int run_launcher() {
  const auto executable = own_executable_path();
  const auto cache_directory = user_cache_directory();
  if (!cache_directory) throw fatal_error("Cache directory not found");
  launch_log log(create_launch_log_file(*cache_directory));

  const program_paths programs = locate_programs(executable);
  log.info("Splash command: " + debug_quoted(programs.splash));
  log.info("Splash arguments: \"\"");
  splash_screen splash(or_fatal("Failed to start splash screen", [&] { return start_program(programs.splash); }));

  message_step message(programs.message);
  log.info("Waiting for message from message queue...");
  if (message.read_verdict(log) == message_verdict::quit) {
    splash.close(log);
    splash.wait();
    or_fatal("Failed to start error display", [&] { return start_program(programs.error); });
    message.close();
    return 0;
  }
  message.close();

  return run_application(programs, splash, log);
}

}  // namespace
}  // namespace calyra::launcher

int main() {
  // Failed writes to a closed pipe or stream show up as errors instead of
  // ending the launcher before it can report anything.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return calyra::launcher::run_launcher();
  } catch (const calyra::launcher::fatal_error& failure) {
    std::cerr << failure.what() << std::endl;
  } catch (const std::exception& failure) {
    std::cerr << "Unexpected failure: " << failure.what() << std::endl;
  }
  return 101;
}
