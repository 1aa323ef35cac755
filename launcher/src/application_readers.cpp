#include "application_readers.h"

#include <iostream>
#include <string_view>

#include "child_process.h"
#include "text.h"

namespace calyra::launcher {
namespace {

bool contains(std::string_view line, std::string_view marker) {
  return line.find(marker) != std::string_view::npos;
}

// Starts the error browser without waiting for it; a failure is reported
// on standard error and in the log.
void start_error_browser(const std::string& program, launch_log& log) {
  try {
    start_program(program);
  } catch (const std::system_error& failure) {
    const std::string report = "Failed to start error browser: " + describe(failure.code());
    log.error(report);
    std::cerr << report << std::endl;
  }
}

}  // namespace

void read_application_stdout(line_reader reader, launch_log& log) {
  while (auto item = reader.next()) {
    if (const auto* failure = std::get_if<std::error_code>(&*item)) {
      log.error("Error reading stdout: " + describe(*failure));
      continue;
    }
    const std::string& line = std::get<std::string>(*item);
    log.info("stdout: " + line);
    if (contains(line, "Closing application")) {
      log.info("Detected 'Closing', exiting application...");
      return;
    }
  }
}

void read_application_stderr(line_reader reader, launch_log& log, splash_screen& splash,
                             const std::string& error_browser) {
  bool setup_pending = true;
  while (auto item = reader.next()) {
    if (const auto* failure = std::get_if<std::error_code>(&*item)) {
      log.error("Error reading stderr: " + describe(*failure));
      continue;
    }
    const std::string& line = std::get<std::string>(*item);
    log.info("stderr: " + line);
    if (contains(line, "Setup done")) {
      log.info("Detected 'Opening', closing splash screen...");
      splash.close(log);
      splash.wait();
      setup_pending = false;
    }
    if (contains(line, "Error")) {
      log.info("Detected 'Error', exiting application...");
      splash.close(log);
      if (setup_pending) {
        start_error_browser(error_browser, log);
        return;
      }
    }
  }
}

}  // namespace calyra::launcher
