#include "library/config_report.h"

#include "runtime/log_output.h"
#include "runtime/logger.h"

namespace calyra::core {

namespace {

const char* bool_word(bool value) { return value ? "true" : "false"; }

template <class Value>
void config_line(const char* key, const Value& value) {
  logger::log(log_level::INFO, [&](std::ostream& out) { out << "CONFIG: " << key << value; });
}

}  // namespace

void print_config(const cy_core_config& config) {
  logger::log_text(log_level::INFO, "Calyra Core initialized.");
  config_line("logging_enabled: ", bool_word(config.logging_enabled));
  config_line("log_level: ", log_level_str(static_cast<log_level>(config.log_level)));
  config_line("append_logs: ", bool_word(config.append_logs));
  config_line("timestamps_enabled: ", bool_word(config.timestamps_enabled));
  config_line("thread_ids_enabled: ", bool_word(config.thread_ids_enabled));
  config_line("autoflush: ", bool_word(config.autoflush));
  config_line("log_buffer_size: ", logger::buffer_size());
  config_line("chunk_size: ", config.chunk_size);
}

}  // namespace calyra::core
