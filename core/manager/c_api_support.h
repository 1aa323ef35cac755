// Shared pieces of the manager's C functions: the handle conversion, and the
// guards of runtime/c_boundary.h that every one of them sits behind.
#pragma once

#include "cycore/eeg_manager.h"
#include "manager/eeg_manager_implementation.h"
#include "runtime/c_boundary.h"

namespace calyra::core {

// The handle's value is the address of the implementation object.
inline eeg_manager_implementation& from_handle(cy_eeg_manager* handle) {
  return *reinterpret_cast<eeg_manager_implementation*>(handle);
}

}  // namespace calyra::core
