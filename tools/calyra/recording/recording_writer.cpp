#include "recording/recording_writer.h"

#include <algorithm>
#include <cctype>

#include "recording/bdf_writer.h"
#include "recording/csv_writer.h"

namespace calyra::recording {

std::string recording_format_of(const std::string& file_name) {
  if (file_name.size() < 5) return {};
  std::string ext = file_name.substr(file_name.size() - 4);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == ".bdf") return "bdf";
  if (ext == ".csv") return "csv";
  return {};
}

std::unique_ptr<recording_writer> open_recording(const std::string& path,
                                                 const std::string& format_name,
                                                 const recording_layout& layout) {
  if (format_name == "bdf") return std::make_unique<bdf_writer>(path, layout);
  if (format_name == "csv") return std::make_unique<csv_writer>(path, layout);
  throw recording_error("unknown recording format for " + path);
}

}  // namespace calyra::recording
