#include "mne_reader.h"

#include <sys/wait.h>

#include <cstdio>
#include <stdexcept>

namespace calyra::test {

mne_contents read_with_mne(const std::string& path) { return read_with_mne(std::vector<std::string>{path}).at(0); }

std::vector<mne_contents> read_with_mne(const std::vector<std::string>& paths) {
  std::string command = "/usr/bin/python3 '" CALYRA_MNE_CHECK "'";
  for (const std::string& path : paths) command += " '" + path + "'";
  command += " 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("MNE cannot read these files cleanly:" + command + "\n" + output);
  }
  std::vector<mne_contents> all;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(start, end - start);
    start = end + 1;
    if (line.rfind("file=", 0) == 0) all.emplace_back();
    if (all.empty()) continue;
    mne_contents& contents = all.back();
    if (line.rfind("annotation\t", 0) == 0) {
      const auto tab = line.find('\t', 11);
      contents.annotations.emplace_back(std::stod(line.substr(11, tab - 11)), line.substr(tab + 1));
    } else if (const auto eq = line.find('='); eq != std::string::npos) {
      contents.fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return all;
}

}  // namespace calyra::test
