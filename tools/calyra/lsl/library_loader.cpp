#include "lsl/library_loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

namespace calyra::lsl {
namespace {

const char* const how_to_get =
    "liblsl is not part of calyra: install it from LSL's release packages "
    "(https://github.com/sccn/liblsl/releases, which install liblsl.so.2), or name the file with "
    "CALYRA_LSL_LIBRARY=/path/to/liblsl.so; in a source tree, scripts/fetch-liblsl fetches a copy";

// Resolves every function of the table, or names the first one missing.
std::optional<std::string> bind(void* handle, api& table) {
  std::optional<std::string> missing;
  auto get = [&](auto& pointer, const char* name) {
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr && !missing) missing = name;
    // The table's pointer types are the C functions' own, so this is the
    // conversion dlsym is meant for.
    pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(symbol);
  };
  get(table.library_version, "lsl_library_version");
  get(table.protocol_version, "lsl_protocol_version");
  get(table.local_clock, "lsl_local_clock");
  get(table.destroy_string, "lsl_destroy_string");
  get(table.create_streaminfo, "lsl_create_streaminfo");
  get(table.destroy_streaminfo, "lsl_destroy_streaminfo");
  get(table.get_desc, "lsl_get_desc");
  get(table.append_child, "lsl_append_child");
  get(table.append_child_value, "lsl_append_child_value");
  get(table.get_xml, "lsl_get_xml");
  get(table.get_name, "lsl_get_name");
  get(table.get_type, "lsl_get_type");
  get(table.get_source_id, "lsl_get_source_id");
  get(table.get_uid, "lsl_get_uid");
  get(table.get_hostname, "lsl_get_hostname");
  get(table.get_channel_count, "lsl_get_channel_count");
  get(table.get_nominal_srate, "lsl_get_nominal_srate");
  get(table.create_outlet, "lsl_create_outlet");
  get(table.destroy_outlet, "lsl_destroy_outlet");
  get(table.get_info, "lsl_get_info");
  get(table.push_chunk_ftnp, "lsl_push_chunk_ftnp");
  get(table.push_sample_strtp, "lsl_push_sample_strtp");
  get(table.have_consumers, "lsl_have_consumers");
  get(table.resolve_bypred, "lsl_resolve_bypred");
  get(table.create_continuous_resolver_bypred, "lsl_create_continuous_resolver_bypred");
  get(table.resolver_results, "lsl_resolver_results");
  get(table.destroy_continuous_resolver, "lsl_destroy_continuous_resolver");
  get(table.create_inlet, "lsl_create_inlet");
  get(table.destroy_inlet, "lsl_destroy_inlet");
  get(table.get_fullinfo, "lsl_get_fullinfo");
  get(table.open_stream, "lsl_open_stream");
  get(table.time_correction, "lsl_time_correction");
  get(table.pull_sample_str, "lsl_pull_sample_str");
  get(table.pull_chunk_f, "lsl_pull_chunk_f");
  return missing;
}

struct loaded {
  api table{};
  std::string file;
};

// Tries one place; on failure returns why.
std::string try_place(const library_place& place, loaded& out) {
  if (place.file.empty()) return "not set";
  void* handle = dlopen(place.file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    return why != nullptr ? why : "cannot be loaded";
  }
  api table{};
  if (auto missing = bind(handle, table)) {
    dlclose(handle);
    return "not a usable liblsl (no " + *missing + ")";
  }
  const std::int32_t version = table.library_version();
  if (version < oldest_library_version) {
    dlclose(handle);
    return "liblsl version " + std::to_string(version) + " is older than " +
           std::to_string(oldest_library_version);
  }
  // Never closed: liblsl's own threads and static objects live until exit.
  out.table = table;
  out.file = place.file;
  return {};
}

loaded load(const std::vector<library_place>& places) {
  std::string tried;
  for (const auto& place : places) {
    loaded result;
    const std::string why = try_place(place, result);
    if (why.empty()) return result;
    tried += "\n  " + place.what + (place.file.empty() || place.file == place.what ? "" : " (" + place.file + ")") +
             ": " + why;
  }
  throw library_unavailable("no liblsl (the Lab Streaming Layer library) was found. Searched:" + tried +
                            "\n" + how_to_get + ".");
}

struct process_library {
  std::once_flag once;
  std::optional<loaded> library;
  std::string failure;
};

process_library& shared() {
  static process_library instance;
  return instance;
}

}  // namespace

std::vector<library_place> default_places() {
  const char* named = std::getenv("CALYRA_LSL_LIBRARY");
  if (named != nullptr && *named != '\0') return {{"CALYRA_LSL_LIBRARY", named}};
  std::vector<library_place> places = {{"CALYRA_LSL_LIBRARY", ""},
                                       {"liblsl.so.2", "liblsl.so.2"},
                                       {"liblsl.so", "liblsl.so"}};
#ifdef CALYRA_LSL_FETCHED_COPY
  places.push_back({"the copy of scripts/fetch-liblsl", CALYRA_LSL_FETCHED_COPY});
#endif
  return places;
}

const api& load_library(const std::vector<library_place>& places) {
  // Each successful load is kept for the life of the process, like the
  // library itself.
  static std::mutex mutex;
  static std::vector<std::unique_ptr<loaded>> kept;
  auto result = std::make_unique<loaded>(load(places));
  std::lock_guard lock(mutex);
  kept.push_back(std::move(result));
  return kept.back()->table;
}

const api& library() {
  auto& state = shared();
  std::call_once(state.once, [&] {
    try {
      state.library = load(default_places());
    } catch (const library_unavailable& e) {
      state.failure = e.what();
    }
  });
  if (!state.library) throw library_unavailable(state.failure);
  return state.library->table;
}

std::string loaded_library_file() {
  auto& state = shared();
  return state.library ? state.library->file : std::string();
}

}  // namespace calyra::lsl

#if defined(__SANITIZE_ADDRESS__)
// liblsl is not built with the sanitizers and keeps some of its own
// allocations until the process ends (its service threads and singletons);
// the leak checker of an instrumented calyra would report them as ours.
// Its old-ABI strings are allocated in libstdc++ frames that the checker
// cannot trace back through liblsl.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:liblsl64.so\nleak:liblsl.so\nleak:std::string::_Rep::_S_create\n";
}
#endif
