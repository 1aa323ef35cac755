#include "bids/entities.h"

#include <algorithm>
#include <vector>

namespace calyra::bids {
namespace {

bool alphanumeric(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  });
}

bool digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void check_label(const std::string& option, const std::string& value) {
  if (alphanumeric(value)) return;
  throw bids_error(option + " \"" + value +
                   "\" is not a BIDS label: labels are ASCII letters and digits only (A-Z, a-z, 0-9), "
                   "without '-', '_', spaces or other characters, for example " +
                   option + " 01");
}

std::vector<std::string> split(std::string_view s, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t at; (at = s.find(separator, start)) != std::string_view::npos; start = at + 1) {
    parts.emplace_back(s.substr(start, at - start));
  }
  parts.emplace_back(s.substr(start));
  return parts;
}

}  // namespace

void check_entities(const entities& e) {
  check_label("--subject", e.subject);
  if (!e.session.empty()) check_label("--session", e.session);
  check_label("--task", e.task);
  if (!e.acquisition.empty()) check_label("--acq", e.acquisition);
  if (!e.run.empty() && !digits(e.run)) {
    throw bids_error("--run \"" + e.run + "\" is not a BIDS run index: digits only, for example --run 1");
  }
}

std::string file_stem(const entities& e) {
  std::string stem = "sub-" + e.subject;
  if (!e.session.empty()) stem += "_ses-" + e.session;
  stem += "_task-" + e.task;
  if (!e.acquisition.empty()) stem += "_acq-" + e.acquisition;
  if (!e.run.empty()) stem += "_run-" + e.run;
  return stem;
}

std::string session_folder(const entities& e) {
  return "sub-" + e.subject + (e.session.empty() ? "" : "/ses-" + e.session);
}

std::string data_folder(const entities& e) { return session_folder(e) + "/eeg"; }

std::string recording_path(const entities& e) { return data_folder(e) + "/" + file_stem(e) + "_eeg.bdf"; }

std::optional<entities> parse_recording_name(std::string_view name) {
  if (!name.empty() && name.front() == '.') name.remove_prefix(1);
  constexpr std::string_view part = ".part";
  if (name.size() > part.size() && name.substr(name.size() - part.size()) == part) {
    name.remove_suffix(part.size());
  }
  constexpr std::string_view suffix = "_eeg.bdf";
  if (name.size() <= suffix.size() || name.substr(name.size() - suffix.size()) != suffix) return std::nullopt;
  name.remove_suffix(suffix.size());
  entities e;
  // Each key at most once and in the fixed order, as file_stem writes them.
  const std::vector<std::string> order = {"sub", "ses", "task", "acq", "run"};
  std::size_t next = 0;
  for (const std::string& pair : split(name, '_')) {
    const std::size_t dash = pair.find('-');
    if (dash == std::string::npos) return std::nullopt;
    const std::string key = pair.substr(0, dash);
    const std::string value = pair.substr(dash + 1);
    const auto at = std::find(order.begin() + static_cast<std::ptrdiff_t>(next), order.end(), key);
    if (at == order.end()) return std::nullopt;
    next = static_cast<std::size_t>(at - order.begin()) + 1;
    if (key == "sub") e.subject = value;
    if (key == "ses") e.session = value;
    if (key == "task") e.task = value;
    if (key == "acq") e.acquisition = value;
    if (key == "run") e.run = value;
  }
  try {
    check_entities(e);
  } catch (const bids_error&) {
    return std::nullopt;
  }
  return e;
}

}  // namespace calyra::bids
