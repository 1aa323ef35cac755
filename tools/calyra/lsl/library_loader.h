// Finds and loads liblsl at run time. calyra never links it: the SDK builds
// and runs without it, and only --lsl needs it.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "lsl/lsl_api.h"

namespace calyra::lsl {

// liblsl could not be loaded; what() names every place searched, why each
// failed, and how to get liblsl.
class library_unavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One place to look: a file path, or a bare name for the system loader.
struct library_place {
  std::string what;  // how it is named in messages ("CALYRA_LSL_LIBRARY", "system loader")
  std::string file;  // what dlopen is given; empty: not set (reported, not tried)
};

// The places in search order: the file named by CALYRA_LSL_LIBRARY (when it
// is set, it is the only place: a library the user named that does not load
// is an error, never silently replaced by another), then liblsl.so.2 and
// liblsl.so through the system loader (as LSL's release packages install
// them), then the copy scripts/fetch-liblsl keeps in the source tree.
std::vector<library_place> default_places();

// Loads the first place that holds a liblsl with every function of `api`
// and a library version of at least 110. The library stays loaded for the
// rest of the process (its threads outlive any object of ours).
// Throws library_unavailable.
const api& load_library(const std::vector<library_place>& places);

// The process's liblsl from default_places(), loaded on the first call;
// later calls return the same table, or throw the same failure again.
// Thread-safe.
const api& library();

// The file the process's liblsl was loaded from, once library() succeeded.
std::string loaded_library_file();

}  // namespace calyra::lsl
