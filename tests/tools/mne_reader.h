// Reads a BDF recording with MNE (Debian's python3-mne, through
// /usr/bin/python3): the reader the recordings are meant for. A warning from
// MNE fails the read.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace calyra::test {

struct mne_contents {
  std::map<std::string, std::string> fields;  // n_times, types, names, highpass, ...
  std::vector<std::pair<double, std::string>> annotations;  // onset, description
  long n_times() const { return std::stol(fields.at("n_times")); }
};

// Throws std::runtime_error with MNE's output when the file does not open
// cleanly (or MNE is missing: the tests need it).
mne_contents read_with_mne(const std::string& path);
// The same for several files in one run of MNE (it takes seconds to start).
std::vector<mne_contents> read_with_mne(const std::vector<std::string>& paths);

}  // namespace calyra::test
