#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/log_output.h"
#include "runtime/logger.h"

namespace calyra::core {

const char* log_level_str(log_level level) {
  switch (level) {
    case log_level::VERBOSE: return "VERBOSE";
    case log_level::DEBUG: return "DEBUG";
    case log_level::INFO: return "INFO";
    case log_level::WARNING: return "WARNING";
    case log_level::ERROR: return "ERROR";
  }
  return "UNKNOWN";
}

namespace logger {
namespace {

// Everything the logger owns. One instance for the process; it closes the
// file (flushing it) when the library is unloaded.
struct log_state {
  std::mutex mutex;
  // Declared before the file so that the file, which writes into it, is
  // destroyed first.
  std::vector<char> buffer;
  std::unique_ptr<std::ofstream> file;
  bool active = false;
  bool timestamps = false;
  bool thread_ids = false;
  bool autoflush = false;
  std::uint8_t min_level = 0;

  void close_file_locked() {
    if (file) file->close();  // close() flushes
    file.reset();
  }
};

log_state& state() {
  static log_state instance;
  return instance;
}

// The host's handler. Calls run under a shared lock so that replacing the
// handler waits for the calls in progress; the level is atomic so that a line
// nobody wants costs one load.
struct handler_state {
  std::shared_mutex mutex;
  cy_log_handler function = nullptr;  // guard: mutex
  void* user_data = nullptr;          // guard: mutex
  std::atomic<int> min_level{no_handler};
  static constexpr int no_handler = 256;
};

handler_state& host_handler() {
  static handler_state instance;
  return instance;
}

// Set while this thread runs the host's handler: a line the handler causes
// (by calling into the library) goes to the file only, never back into it.
thread_local bool inside_handler = false;

bool handler_wants(log_level level) {
  return !inside_handler &&
         static_cast<int>(level) >= host_handler().min_level.load(std::memory_order_acquire);
}

void deliver_to_handler(log_level level, const std::string& body) noexcept {
  handler_state& h = host_handler();
  std::shared_lock lock(h.mutex);
  if (h.function == nullptr || static_cast<int>(level) < h.min_level.load(std::memory_order_relaxed)) return;
  inside_handler = true;
  h.function(static_cast<cy_log_level>(level), static_cast<std::uint64_t>(::gettid()), body.c_str(), h.user_data);
  inside_handler = false;
}

std::string format_body(detail::body_writer write, void* context) {
  std::ostringstream out;
  write(out, context);
  return std::move(out).str();
}

void write_text(std::ostream& out, void* context) { out << *static_cast<const std::string*>(context); }

// The kernel's thread id: small, stable for the thread's life, and the number
// system tools show for the thread.
unsigned long this_thread_number() {
  thread_local const unsigned long number = static_cast<unsigned long>(::gettid());
  return number;
}

void write_timestamp(std::ostream& out) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%F %T", &local);
  out << '[' << std::string_view(text, length) << '.' << std::setfill('0') << std::setw(3)
      << millis << std::setfill(' ') << "] ";
}

void write_line_locked(log_state& s, log_level level, detail::body_writer write, void* context) {
  if (!s.active || static_cast<std::uint8_t>(level) < s.min_level || !s.file) return;
  std::ostream& out = *s.file;
  if (s.timestamps) write_timestamp(out);
  out << '[' << log_level_str(level) << "] ";
  if (s.thread_ids) out << "[#" << this_thread_number() << "] ";
  write(out, context);
  out << '\n';
  if (s.autoflush) out.flush();
}

// A buffer the size the host asked for; an impossible size (say, 2^63 bytes)
// falls back to unbuffered output instead of ending the host process.
std::vector<char> allocate_buffer(std::uint64_t size) {
  try {
    return std::vector<char>(static_cast<std::size_t>(size), '\0');
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return {};
}

}  // namespace

namespace detail {
void log_erased(log_level level, body_writer write, void* context) {
  log_state& s = state();
  if (!handler_wants(level)) {
    std::lock_guard lock(s.mutex);
    write_line_locked(s, level, write, context);
    return;
  }
  // Formatted once for both; the handler runs outside the logger mutex, so
  // a slow host handler never holds up the file of another thread.
  std::string body = format_body(write, context);
  {
    std::lock_guard lock(s.mutex);
    write_line_locked(s, level, write_text, &body);
  }
  deliver_to_handler(level, body);
}
}  // namespace detail

void apply_config(const cy_core_config& config) {
  log_state& s = state();
  std::lock_guard lock(s.mutex);
  if (!config.logging_enabled) {
    s.active = false;
    s.close_file_locked();
    return;
  }
  // The old file writes into the old buffer, so it goes first.
  s.close_file_locked();
  s.buffer = allocate_buffer(config.log_buffer_size);
  auto file = std::make_unique<std::ofstream>();
  // Before open(): only then does the file buffer take the storage. A size of
  // 0 makes the stream unbuffered.
  file->rdbuf()->pubsetbuf(s.buffer.empty() ? nullptr : s.buffer.data(),
                           static_cast<std::streamsize>(s.buffer.size()));
  const auto mode = std::ios::out | (config.append_logs ? std::ios::app : std::ios::trunc);
  const std::string path(config.log_path, strnlen(config.log_path, sizeof config.log_path));
  file->open(path, mode);
  s.file = std::move(file);
  s.min_level = config.log_level;
  s.active = true;
  s.timestamps = config.timestamps_enabled;
  s.thread_ids = config.thread_ids_enabled;
  s.autoflush = config.autoflush;
}

void write_last_line_and_stop(log_level level, std::string_view last_line) {
  log_state& s = state();
  const std::string text(last_line);
  {
    std::lock_guard lock(s.mutex);
    write_line_locked(s, level, write_text, const_cast<std::string*>(&text));
    s.active = false;
  }
  if (handler_wants(level)) deliver_to_handler(level, text);
}

bool set_handler(cy_log_handler function, log_level min_level, void* user_data) {
  if (inside_handler) return false;  // would wait for itself
  handler_state& h = host_handler();
  std::unique_lock lock(h.mutex);
  h.function = function;
  h.user_data = user_data;
  h.min_level.store(function != nullptr ? static_cast<int>(min_level) : handler_state::no_handler,
                    std::memory_order_release);
  return true;
}

void close_file() {
  log_state& s = state();
  std::lock_guard lock(s.mutex);
  s.close_file_locked();
}

bool enabled_for(log_level level) {
  if (handler_wants(level)) return true;
  log_state& s = state();
  std::lock_guard lock(s.mutex);
  return s.active && static_cast<std::uint8_t>(level) >= s.min_level;
}

std::size_t buffer_size() {
  log_state& s = state();
  std::lock_guard lock(s.mutex);
  return s.buffer.size();
}

}  // namespace logger
}  // namespace calyra::core
