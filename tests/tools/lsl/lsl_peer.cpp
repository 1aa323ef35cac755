// Another LSL program for the tests, run in its own process: it reads
// calyra's streams as any LSL consumer would, or publishes markers as a
// stimulus program would. It loads liblsl the way calyra does.
//
//   lsl_peer pull NAME SAMPLES OUT   resolve the stream NAME, write its full
//                                    description to OUT.xml and up to
//                                    SAMPLES samples to OUT ("timestamp v1
//                                    v2 ..." per line) until the stream
//                                    ends; exit status 0 when all came
//   lsl_peer stall NAME SECONDS      connect to NAME and read nothing
//   lsl_peer markers NAME SOURCE_ID FORMAT AGES...
//                                    publish a marker stream (FORMAT string
//                                    or float), wait for a consumer, send
//                                    one marker per AGE stamped AGE seconds
//                                    before now, print "sent TEXT TIMESTAMP"
//                                    per marker, and linger a second
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "lsl/handles.h"
#include "lsl/library_loader.h"

using namespace calyra::lsl;

namespace {

int fail(const std::string& why) {
  std::fprintf(stderr, "lsl_peer: %s\n", why.c_str());
  return 2;
}

owned_inlet open_inlet(const api& lsl, const std::string& name) {
  const std::string predicate = "name='" + name + "'";
  streaminfo found = nullptr;
  if (lsl.resolve_bypred(&found, 1, predicate.c_str(), 1, 20.0) < 1) return {};
  owned_streaminfo info(found, lsl.destroy_streaminfo);
  owned_inlet in(lsl.create_inlet(info.get(), 360, 0, 1), lsl.destroy_inlet);
  std::int32_t ec = 0;
  lsl.open_stream(in.get(), 10.0, &ec);
  if (ec != no_error) return {};
  std::printf("connected\n");
  std::fflush(stdout);
  return in;
}

int pull(const api& lsl, const std::string& name, long samples, const std::string& out_path) {
  owned_inlet in = open_inlet(lsl, name);
  if (!in) return fail("cannot open " + name);
  std::int32_t ec = 0;
  owned_streaminfo full(lsl.get_fullinfo(in.get(), 10.0, &ec), lsl.destroy_streaminfo);
  if (!full) return fail("no full description");
  std::ofstream(out_path + ".xml") << take_string(lsl, lsl.get_xml(full.get()));
  const auto channels = static_cast<std::size_t>(lsl.get_channel_count(full.get()));
  std::ofstream out(out_path);
  out.precision(17);
  std::vector<float> data(channels * 512);
  std::vector<double> stamps(512);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  auto last_data = std::chrono::steady_clock::now();
  long got = 0;
  // Until SAMPLES came, or 3 s passed without any once some came (the
  // stream ended).
  while (got < samples && std::chrono::steady_clock::now() < give_up &&
         (got == 0 || std::chrono::steady_clock::now() - last_data < std::chrono::seconds(3))) {
    const unsigned long n = lsl.pull_chunk_f(in.get(), data.data(), stamps.data(), data.size(), stamps.size(), 0.2, &ec);
    if (n > 0) last_data = std::chrono::steady_clock::now();
    for (unsigned long i = 0; i < n / channels && got < samples; ++i, ++got) {
      out << stamps[i];
      for (std::size_t c = 0; c < channels; ++c) out << ' ' << data[i * channels + c];
      out << '\n';
    }
  }
  return got == samples ? 0 : fail("received " + std::to_string(got) + " of " + std::to_string(samples));
}

int stall(const api& lsl, const std::string& name, double seconds) {
  owned_inlet in = open_inlet(lsl, name);
  if (!in) return fail("cannot open " + name);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return 0;
}

int markers(const api& lsl, const std::string& name, const std::string& source_id, const std::string& format,
            const std::vector<double>& ages) {
  // The one push this program needs beyond calyra's table.
  void* handle = dlopen(loaded_library_file().c_str(), RTLD_NOW | RTLD_NOLOAD);
  using push_float = std::int32_t (*)(outlet, const float*, double, std::int32_t);
  auto push_sample_ftp = reinterpret_cast<push_float>(handle != nullptr ? dlsym(handle, "lsl_push_sample_ftp") : nullptr);
  const bool numeric = format == "float";
  if (numeric && push_sample_ftp == nullptr) return fail("no lsl_push_sample_ftp");
  owned_streaminfo info(lsl.create_streaminfo(name.c_str(), "Markers", 1, irregular_rate,
                                              numeric ? format_float32 : format_string, source_id.c_str()),
                        lsl.destroy_streaminfo);
  owned_outlet out(lsl.create_outlet(info.get(), 0, 360), lsl.destroy_outlet);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (lsl.have_consumers(out.get()) == 0) {
    if (std::chrono::steady_clock::now() > give_up) return fail("no consumer");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // A consumer counts as connected before its data connection is fully set
  // up; a moment later nothing pushed is missed.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (std::size_t i = 0; i < ages.size(); ++i) {
    const double stamp = lsl.local_clock() - ages[i];
    std::string text = numeric ? std::to_string(i + 1) : name + " " + std::to_string(i + 1);
    if (numeric) {
      const float value = static_cast<float>(i + 1);
      push_sample_ftp(out.get(), &value, stamp, 1);
    } else {
      const char* data[] = {text.c_str()};
      lsl.push_sample_strtp(out.get(), data, stamp, 1);
    }
    std::printf("sent %s %.9f\n", text.c_str(), stamp);
    std::fflush(stdout);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    const api& lsl = library();
    if (args.size() == 4 && args[0] == "pull") return pull(lsl, args[1], std::stol(args[2]), args[3]);
    if (args.size() == 3 && args[0] == "stall") return stall(lsl, args[1], std::stod(args[2]));
    if (args.size() >= 4 && args[0] == "markers") {
      std::vector<double> ages;
      for (std::size_t i = 4; i < args.size(); ++i) ages.push_back(std::stod(args[i]));
      return markers(lsl, args[1], args[2], args[3], ages);
    }
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  return fail("usage: pull NAME SAMPLES OUT | stall NAME SECONDS | markers NAME SOURCE_ID FORMAT AGES...");
}
