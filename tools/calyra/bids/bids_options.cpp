#include "bids/bids_options.h"

#include "app/failure.h"

namespace calyra::bids {

void add_target_options(CLI::App& command, target_options& out, bool with_subject) {
  if (with_subject) {
    command.add_option("--subject", out.subject, "BIDS subject label (letters and digits)")->required();
    command.add_option("--session", out.session, "BIDS session label (letters and digits)");
  }
  command.add_option("--task", out.task, "BIDS task label (letters and digits)");
  command.add_option("--acq", out.acquisition, "BIDS acquisition label (letters and digits)");
  command.add_option("--run", out.run, "BIDS run index (digits)");
  command.add_option("--line-freq", out.line_frequency_hz,
                     "power line frequency, 50 or 60 Hz (required until a recording in the dataset states it)");
}

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
