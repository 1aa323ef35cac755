#include "cli/lsl_options.h"

#include "lsl/marker_query.h"

namespace calyra::cli {

void add_lsl_options(CLI::App& sub, stream_options& s) {
  sub.add_flag("--lsl", s.lsl.publish,
               "Publish the stream on the Lab Streaming Layer while it runs (visible to the local network)");
  sub.add_option("--lsl-name", s.lsl.name, "Name of the LSL EEG stream (default: the headset's name)")
      ->type_name("NAME");
  sub.add_option("--lsl-markers", s.lsl.marker_queries,
                 "Place the markers of LSL streams that match QUERY (a stream name, or PROPERTY=VALUE "
                 "such as type=Markers); repeatable")
      ->type_name("QUERY")
      // One query per occurrence, so that it never takes the headset's name.
      ->allow_extra_args(false)
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            try {
              lsl::query_predicate(value);
              return {};
            } catch (const lsl::bad_query& e) {
              return e.what();
            }
          },
          "QUERY"));
}

void finish_lsl_options(const CLI::App& sub, const stream_options& s) {
  if (sub.count("--lsl-name") > 0 && !s.lsl.publish) throw CLI::ValidationError("--lsl-name", "needs --lsl");
  if (sub.count("--lsl-name") > 0 && s.lsl.name.empty()) {
    throw CLI::ValidationError("--lsl-name", "the name cannot be empty");
  }
}

}  // namespace calyra::cli
