// The electrode list of `calyra stream --channels` ("1,3,5-8"). Any text
// either gives an ascending list without repeats of electrodes 1 to 255 or
// throws std::invalid_argument (anything else escapes and is a finding); a
// list written back as text, one piece per electrode, reads the same.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/electrode_list.h"
#include "support/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<unsigned> electrodes;
  try {
    electrodes = calyra::cli::parse_electrode_list(text);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  FUZZ_CHECK(!electrodes.empty());
  std::string written;
  for (std::size_t i = 0; i < electrodes.size(); ++i) {
    FUZZ_CHECK(electrodes[i] >= 1 && electrodes[i] <= 255);
    if (i > 0) FUZZ_CHECK(electrodes[i - 1] < electrodes[i]);
    written += (i > 0 ? "," : "") + std::to_string(electrodes[i]);
  }
  FUZZ_CHECK(calyra::cli::parse_electrode_list(written) == electrodes);
  return 0;
}
