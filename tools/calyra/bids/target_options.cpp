#include "bids/target_options.h"

#include <cctype>

#include "app/failure.h"

namespace calyra::bids {

placement placement_from(const target_options& o) {
  placement p{o.root, {o.subject, o.session, o.task, o.acquisition, o.run}, o.line_frequency_hz, CALYRA_VERSION};
  try {
    check_entities(p.names);
  } catch (const bids_error& e) {
    throw app::usage_failure(e.what());
  }
  if (p.line_frequency_hz && *p.line_frequency_hz != 50.0 && *p.line_frequency_hz != 60.0) {
    throw app::usage_failure("--line-freq is the power line frequency: 50 or 60 (Hz)");
  }
  return p;
}

placement placement_for_one_of_several(const target_options& options, const std::string& device) {
  target_options own = options;
  for (const char c : device) {
    if (std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80) own.acquisition += c;
  }
  if (own.acquisition == options.acquisition) {
    throw app::usage_failure("--bids: the headset name \"" + device +
                             "\" has no letter or digit to tell its recording from the others");
  }
  return placement_from(own);
}

}  // namespace calyra::bids
