// One connected headset for the length of a command.
#pragma once

#include <cycore.h>
#include <cycore/eeg_manager.h>

#include <string>

namespace calyra::device {

enum class firmware_policy {
  require_compatible,   // an unsupported firmware ends the command
  accept_incompatible,  // info and update still work with it
};

class headset {
 public:
  // Creates a manager and connects to the headset advertising `name`
  // (blocks up to about 5 s while searching). Throws command_failure with
  // the library's code.
  headset(const std::string& name, firmware_policy policy);
  ~headset();  // disconnects and frees the manager

  headset(const headset&) = delete;
  headset& operator=(const headset&) = delete;

  cy_eeg_manager* handle() const { return manager_; }
  const std::string& name() const { return name_; }
  bool compatible() const { return compatible_; }
  const cy_device_info& info() const { return info_; }
  // Capabilities of the model; never null once constructed.
  const cy_device_features* features() const { return features_; }
  // "KESTREL", "FINCH", ... for the model code in the device record.
  std::string model_name() const;

 private:
  std::string name_;
  cy_eeg_manager* manager_ = nullptr;
  bool compatible_ = false;
  cy_device_info info_{};
  const cy_device_features* features_ = nullptr;
};

// "3.6.1"
std::string version_text(const cy_version& v);

}  // namespace calyra::device
