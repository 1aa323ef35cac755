#include "device/headset.h"

#include "device/device_names.h"
#include "app/failure.h"

namespace calyra::device {

using app::command_failure;

std::string version_text(const cy_version& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

headset::headset(const std::string& name, firmware_policy policy) : name_(name) {
  manager_ = cy_eeg_manager_new();
  if (manager_ == nullptr) throw command_failure("out of memory while creating a manager");
  cy_error result = cy_eeg_manager_connect(manager_, name.c_str(), nullptr, nullptr);
  if (result == CY_DEVICE_NOT_FOUND) {
    // The library wants the exact advertised name; people type it in any
    // case, or give the address.
    std::vector<seen_headset> seen;
    try {
      seen = scan_headsets();
    } catch (const command_failure&) {
      // Keep the connect's own answer.
    }
    if (const auto match = match_headset(seen, name); match && match->name != name) {
      name_ = match->name;
      result = cy_eeg_manager_connect(manager_, name_.c_str(), nullptr, nullptr);
    } else if (!match) {
      const auto nearest = nearest_name(seen, name);
      cy_eeg_manager_free(manager_);
      manager_ = nullptr;
      throw command_failure::from_code(
          result, "connecting to \"" + name + "\"" +
                      (nearest ? " (did you mean \"" + *nearest + "\"?)" : std::string()));
    }
  }
  info_ = *cy_eeg_manager_get_device_info(manager_);
  features_ = cy_core_device_features_get(&info_);
  compatible_ = result == CY_OK;

  const std::string what = "connecting to \"" + name_ + "\"";
  const bool incompatible_but_connected = result == CY_UNSUPPORTED_DEVICE && features_ != nullptr;
  if (result != CY_OK && !(incompatible_but_connected && policy == firmware_policy::accept_incompatible)) {
    cy_eeg_manager_free(manager_);
    manager_ = nullptr;
    if (incompatible_but_connected) {
      throw command_failure::from_code(
          result, what + " (hardware " + version_text(info_.hardware_version) + ", firmware " +
                      version_text(info_.firmware_version) + ")");
    }
    throw command_failure::from_code(result, what);
  }
}

headset::~headset() { cy_eeg_manager_free(manager_); }

std::string headset::model_name() const { return cy_core_device_model_name(info_.id); }

}  // namespace calyra::device
