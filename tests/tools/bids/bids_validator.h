// Runs the community's BIDS validator (npm's bids-validator, installed by
// scripts/setup-deps) on a dataset and returns what it reports.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace calyra::test {

struct validator_issue {
  std::string key;                 // "EVENTS_TSV_MISSING", ...
  std::vector<std::string> files;  // relative paths, as the validator names them
};

struct validator_report {
  std::vector<validator_issue> errors;
  std::vector<validator_issue> warnings;
  std::string output;  // the whole JSON, for messages

  std::set<std::string> warning_keys() const;
};

// Throws std::runtime_error when the validator is missing or its output is
// not its JSON report.
validator_report run_bids_validator(const std::string& root);

// The warnings a calyra dataset is expected to get, each justified in the
// README's BIDS section.
const std::set<std::string>& justified_warnings();

}  // namespace calyra::test
