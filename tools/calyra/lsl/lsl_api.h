// The few functions of liblsl's C API that calyra calls, as pointers filled
// in when the library is loaded at run time (library_loader.h). Names,
// types and constants follow LSL's documented C API; every function here
// exists since library version 110, so any newer liblsl serves as well.
#pragma once

#include <cstdint>

namespace calyra::lsl {

// Opaque handles of liblsl's objects.
struct streaminfo_object;
struct outlet_object;
struct inlet_object;
struct xml_object;
struct resolver_object;
using streaminfo = streaminfo_object*;
using outlet = outlet_object*;
using inlet = inlet_object*;
using xml = xml_object*;
using continuous_resolver = resolver_object*;

// Channel formats (lsl_channel_format_t).
inline constexpr int format_float32 = 1;
inline constexpr int format_double64 = 2;
inline constexpr int format_string = 3;

// The nominal rate of a stream without a regular rate.
inline constexpr double irregular_rate = 0.0;
// "No timeout" for the blocking functions.
inline constexpr double forever = 32000000.0;

// Error codes written to the `ec` arguments.
inline constexpr std::int32_t no_error = 0;
inline constexpr std::int32_t timeout_error = -1;
inline constexpr std::int32_t lost_error = -2;

// The oldest library version whose functions this table uses.
inline constexpr std::int32_t oldest_library_version = 110;

struct api {
  std::int32_t (*library_version)();
  std::int32_t (*protocol_version)();
  double (*local_clock)();
  void (*destroy_string)(char* text);

  // Stream descriptions.
  streaminfo (*create_streaminfo)(const char* name, const char* type, std::int32_t channel_count,
                                  double nominal_rate, int channel_format, const char* source_id);
  void (*destroy_streaminfo)(streaminfo info);
  xml (*get_desc)(streaminfo info);
  xml (*append_child)(xml element, const char* name);
  xml (*append_child_value)(xml element, const char* name, const char* value);
  char* (*get_xml)(streaminfo info);  // freed with destroy_string
  const char* (*get_name)(streaminfo info);
  const char* (*get_type)(streaminfo info);
  const char* (*get_source_id)(streaminfo info);
  const char* (*get_uid)(streaminfo info);
  const char* (*get_hostname)(streaminfo info);
  std::int32_t (*get_channel_count)(streaminfo info);
  double (*get_nominal_srate)(streaminfo info);

  // Outlets. Pushes never block on consumers.
  outlet (*create_outlet)(streaminfo info, std::int32_t chunk_size, std::int32_t max_buffered);
  void (*destroy_outlet)(outlet out);
  streaminfo (*get_info)(outlet out);  // a copy, destroyed with destroy_streaminfo
  std::int32_t (*push_chunk_ftnp)(outlet out, const float* data, unsigned long data_elements,
                                  const double* timestamps, std::int32_t pushthrough);
  std::int32_t (*push_sample_strtp)(outlet out, const char** data, double timestamp,
                                    std::int32_t pushthrough);
  std::int32_t (*have_consumers)(outlet out);

  // Finding streams.
  std::int32_t (*resolve_bypred)(streaminfo* buffer, std::uint32_t buffer_elements, const char* predicate,
                                 std::int32_t minimum, double timeout);
  continuous_resolver (*create_continuous_resolver_bypred)(const char* predicate, double forget_after);
  std::int32_t (*resolver_results)(continuous_resolver resolver, streaminfo* buffer,
                                   std::uint32_t buffer_elements);
  void (*destroy_continuous_resolver)(continuous_resolver resolver);

  // Inlets.
  inlet (*create_inlet)(streaminfo info, std::int32_t max_buflen, std::int32_t max_chunklen,
                        std::int32_t recover);
  void (*destroy_inlet)(inlet in);
  streaminfo (*get_fullinfo)(inlet in, double timeout, std::int32_t* ec);
  void (*open_stream)(inlet in, double timeout, std::int32_t* ec);
  double (*time_correction)(inlet in, double timeout, std::int32_t* ec);
  double (*pull_sample_str)(inlet in, char** buffer, std::int32_t buffer_elements, double timeout,
                            std::int32_t* ec);
  unsigned long (*pull_chunk_f)(inlet in, float* data, double* timestamps, unsigned long data_elements,
                                unsigned long timestamp_elements, double timeout, std::int32_t* ec);
};

}  // namespace calyra::lsl
