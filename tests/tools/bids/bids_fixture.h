// Recordings made by calyra (the program against virtual headsets, or its
// writers directly) and placed into BIDS datasets in a scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bids/calyra_recording.h"
#include "bids/dataset_writer.h"
#include "program_runner.h"
#include "recording/bdf_writer.h"
#include "recording/events.h"
#include "recording/json_sidecar.h"
#include "recording/output_file.h"
#include "recording/recording_writer.h"

namespace calyra::test {

namespace fs = std::filesystem;

class bids_test : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("calyra_bids_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string file(const std::string& name) const { return (dir_ / name).string(); }

  static bids::entities names(std::string subject, std::string task = "rest", std::string session = "",
                              std::string run = "") {
    bids::entities e;
    e.subject = std::move(subject);
    e.task = std::move(task);
    e.session = std::move(session);
    e.run = std::move(run);
    return e;
  }

  bids::placement placement_of(const std::string& root, const bids::entities& e, double line = 50.0) const {
    return {root, e, line, "test"};
  }

  bids::placed_recording place(const std::string& root, const bids::entities& e, const std::string& bdf,
                               bids::transfer how = bids::transfer::copy) {
    return bids::place_recording(placement_of(root, e), bids::read_calyra_recording(bdf), how);
  }

  // `seconds` from a virtual headset into `bdf`, with `input` typed once the
  // stream is running.
  static void stream(const std::string& bdf, const std::string& device, const std::string& seconds,
                     const std::string& input = "") {
    run_request request;
    request.args = {"--virtual", "stream", device, "--seconds", seconds, "--out", bdf, "--contact", "--accel"};
    request.env = {{"CYCORE_VIRTUAL_DEVICES", "CY KESTREL 5,pace=fast;CY LOSSY 12,loss=0.1,seed=3"}};
    if (!input.empty()) request.triggers.push_back({"samples ", input, false, false, {}});
    const run_result r = run_calyra(request);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  }

  // Three seconds of two electrodes through calyra's writers: E1 an EEG-like
  // signal, E2 flat (off the head), half a second filled in for lost
  // packets, and two annotations.
  static void write_recording_with_a_flat_channel(const std::string& bdf) {
    using namespace calyra::recording;
    recording_layout layout;
    layout.sample_rate_hz = 250;
    layout.equipment = "Calyra KESTREL fw 3.6.1";
    layout.start_time = std::chrono::system_clock::now();
    layout.signals = {{signal_kind::electrode, "E1", "uV", -562500.0, 562500.0},
                      {signal_kind::electrode, "E2", "uV", -562500.0, 562500.0},
                      {signal_kind::contact, "Contact E1", "", 0.0, 1.0}};
    const std::uint64_t gap_from = 500, gap_to = 625, total = 1500;
    auto writer = open_recording(bdf, "bdf", layout);
    sample_block b;
    b.reset(3);
    std::uint32_t noise = 12345;
    for (std::uint64_t n = 0; n < total; ++n) {
      const bool filler = n >= gap_from && n < gap_to;
      noise = noise * 1664525u + 1013904223u;
      const double t = static_cast<double>(n) / 250.0;
      b.sample_numbers.push_back(n);
      b.streaming.push_back(filler ? 0 : 1);
      b.signals[0].push_back(filler ? 0.0 : 20.0 * std::sin(2 * M_PI * 10 * t) + (noise >> 24) / 25.6 - 5.0);
      b.signals[1].push_back(0.0);
      b.signals[2].push_back(filler ? 0.0 : 1.0);
    }
    writer->write(b);
    writer->annotate(250, "eyes closed");
    writer->annotate(1000, "eyes open");
    writer->close();
    const std::vector<recording_event> events = {{250, -1, "eyes closed"},
                                                 {static_cast<std::int64_t>(gap_from), gap_to - gap_from,
                                                  bdf_writer::gap_text},
                                                 {1000, -1, "eyes open"}};
    write_events_tsv(events_path_for(bdf), events, 250, "events");
    recording_description d;
    d.program_version = "test";
    d.device_name = "CY KESTREL 5";
    d.model = "KESTREL";
    d.serial_number = "SN0001";
    d.firmware_version = "3.6.1";
    d.gain = 8;
    d.samples = total;
    d.lost_samples = gap_to - gap_from;
    d.missed_packets = 5;
    d.annotations = 2;
    d.first_sample_time = layout.start_time;
    write_json_sidecar(json_path_for(bdf), layout, d, "description");
  }

  fs::path dir_;
};

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

inline std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace calyra::test
