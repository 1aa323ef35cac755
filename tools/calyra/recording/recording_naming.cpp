#include "recording/recording_naming.h"

#include "app/interrupt.h"

namespace calyra::recording {

recording_names out_path_naming::names_for(const std::string&) const {
  return {path_, events_path_for(path_), json_path_for(path_)};
}

recording_files::recording_files(const recording_names& names, bool overwrite)
    : data(names.data, overwrite), events(names.events, overwrite), description(names.description, overwrite) {
  app::discard_on_exit(data.temporary_path().c_str());
  app::discard_on_exit(events.temporary_path().c_str());
  app::discard_on_exit(description.temporary_path().c_str());
}

void recording_files::commit() {
  events.commit();
  description.commit();
  data.commit();
}

}  // namespace calyra::recording
