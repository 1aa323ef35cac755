#include "bids_validator.h"

#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <stdexcept>

namespace calyra::test {
namespace {

std::vector<validator_issue> issues(const nlohmann::json& list) {
  std::vector<validator_issue> out;
  for (const auto& issue : list) {
    validator_issue i;
    i.key = issue.value("key", "");
    for (const auto& f : issue.value("files", nlohmann::json::array())) {
      if (f.contains("file") && f["file"].is_object()) i.files.push_back(f["file"].value("relativePath", ""));
    }
    out.push_back(std::move(i));
  }
  return out;
}

}  // namespace

std::set<std::string> validator_report::warning_keys() const {
  std::set<std::string> keys;
  for (const auto& w : warnings) keys.insert(w.key);
  return keys;
}

const std::set<std::string>& justified_warnings() {
  static const std::set<std::string> keys = {"NO_AUTHORS"};
  return keys;
}

validator_report run_bids_validator(const std::string& root) {
  if (::access(CALYRA_BIDS_VALIDATOR, R_OK) != 0) {
    throw std::runtime_error("the BIDS validator is not installed at " CALYRA_BIDS_VALIDATOR
                             ": run scripts/setup-deps");
  }
  const std::string command = "node '" CALYRA_BIDS_VALIDATOR "' --json '" + root + "' 2>/dev/null";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  validator_report report;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) report.output.append(buffer, n);
  ::pclose(pipe);
  try {
    const auto j = nlohmann::json::parse(report.output);
    report.errors = issues(j.at("issues").at("errors"));
    report.warnings = issues(j.at("issues").at("warnings"));
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error("the validator's report is not JSON (" + std::string(e.what()) + "):\n" +
                             report.output);
  }
  return report;
}

}  // namespace calyra::test
