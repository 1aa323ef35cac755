#include "bids/target_options.h"

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

}  // namespace calyra::bids
