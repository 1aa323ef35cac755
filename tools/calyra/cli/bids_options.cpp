#include "cli/bids_options.h"

namespace calyra::cli {
namespace {

void add_names(CLI::App& sub, bids::target_options& t) {
  sub.add_option("--task", t.task, "BIDS task label (letters and digits), e.g. rest")->type_name("LABEL");
  sub.add_option("--acq", t.acquisition, "BIDS acquisition label (letters and digits)")->type_name("LABEL");
  sub.add_option("--run", t.run, "BIDS run index (digits)")->type_name("N");
  sub.add_option("--line-freq", t.line_frequency_hz,
                 "Power line frequency in Hz, 50 or 60 (required until a recording in the dataset states it)")
      ->type_name("HZ");
}

}  // namespace

void add_bids_options(CLI::App& sub, stream_options& s) {
  sub.add_option("--bids", s.bids.root,
                 "Record into the BIDS dataset at ROOT (created if absent) instead of --out; "
                 "needs --subject and --task")
      ->type_name("ROOT");
  add_names(sub, s.bids);
}

void finish_bids_options(const CLI::App& sub, stream_options& s) {
  if (s.bids.root.empty()) {
    for (const char* name : {"--task", "--acq", "--run", "--line-freq"}) {
      if (sub.count(name) > 0) throw CLI::ValidationError(name, "needs --bids ROOT");
    }
    return;
  }
  if (!s.out_path.empty()) throw CLI::ValidationError("--bids", "takes the place of --out: give one of them");
  if (s.overwrite) throw CLI::ValidationError("--overwrite", "a dataset's recordings are never replaced");
  if (s.subject.empty()) throw CLI::ValidationError("--bids", "needs --subject");
  if (s.bids.task.empty()) throw CLI::ValidationError("--bids", "needs --task");
  s.bids.subject = s.subject;
  s.bids.session = s.session;
}

void define_bids_import(CLI::App& app, bids_import_options& b) {
  auto* sub = app.add_subcommand(
      "bids", "Put a recording made with --out (FILE.bdf, its .json and _events.tsv) into a BIDS dataset");
  sub->add_option("ROOT", b.target.root, "The dataset's folder (created if absent)")->required();
  sub->add_option("FILE", b.file, "A BDF recording made by calyra")
      ->type_name("FILE.bdf")
      ->required()
      ->check(CLI::ExistingFile);
  sub->add_option("--subject", b.target.subject, "BIDS subject label (letters and digits)")
      ->type_name("LABEL")
      ->required();
  sub->add_option("--session", b.target.session, "BIDS session label (letters and digits)")->type_name("LABEL");
  add_names(*sub, b.target);
  sub->get_option("--task")->required();
}

}  // namespace calyra::cli
