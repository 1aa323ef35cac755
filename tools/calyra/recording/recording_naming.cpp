#include "recording/recording_naming.h"

#include "app/interrupt.h"

namespace calyra::recording {

recording_names out_path_naming::names_for(const std::string&) const {
  return {path_, events_path_for(path_), json_path_for(path_)};
}

std::string file_name_part(const std::string& device) {
  std::string part = device;
  for (char& c : part) {
    const bool letter_or_digit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letter_or_digit) c = '-';
  }
  return part;
}

recording_names per_headset_naming::names_for(const std::string& device) const {
  // The extension was checked by the command line: .bdf or .csv.
  const std::size_t dot = path_.rfind('.');
  const std::string data = path_.substr(0, dot) + "_" + file_name_part(device) + path_.substr(dot);
  return {data, events_path_for(data), json_path_for(data)};
}

recording_files::recording_files(const recording_names& names, bool overwrite)
    : data(names.data, overwrite), events(names.events, overwrite), description(names.description, overwrite) {
  app::discard_on_exit(data.temporary_path().c_str());
  app::discard_on_exit(events.temporary_path().c_str());
  app::discard_on_exit(description.temporary_path().c_str());
}

recording_files::~recording_files() {
  app::keep_on_exit(data.temporary_path().c_str());
  app::keep_on_exit(events.temporary_path().c_str());
  app::keep_on_exit(description.temporary_path().c_str());
}

void recording_files::commit() {
  events.commit();
  description.commit();
  data.commit();
}

}  // namespace calyra::recording
