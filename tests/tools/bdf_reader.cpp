#include "bdf_reader.h"

#include <edflib.h>

#include <memory>
#include <stdexcept>

namespace calyra::test {
namespace {

std::string trimmed(const char* text) {
  std::string s = text;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

bdf_contents read_bdf(const std::string& path) {
  auto header = std::make_unique<edf_hdr_struct>();  // large: keep it off the stack
  if (edfopen_file_readonly(path.c_str(), header.get(), EDFLIB_READ_ALL_ANNOTATIONS) != 0) {
    throw std::runtime_error("EDFlib cannot open " + path + " (error " +
                             std::to_string(header->filetype) + ")");
  }
  bdf_contents contents;
  contents.file_type = header->filetype;
  contents.equipment = trimmed(header->equipment);
  contents.start_subsecond = header->starttime_subsecond;
  std::tm start{};
  start.tm_year = header->startdate_year - 1900;
  start.tm_mon = header->startdate_month - 1;
  start.tm_mday = header->startdate_day;
  start.tm_hour = header->starttime_hour;
  start.tm_min = header->starttime_minute;
  start.tm_sec = header->starttime_second;
  start.tm_isdst = -1;
  contents.start_second = std::mktime(&start);
  contents.patient = trimmed(header->patientcode);
  contents.record_seconds = static_cast<double>(header->datarecord_duration) / EDFLIB_TIME_DIMENSION;
  for (int s = 0; s < header->edfsignals; ++s) {
    const edf_param_struct& p = header->signalparam[s];
    bdf_signal signal;
    signal.label = trimmed(p.label);
    signal.unit = trimmed(p.physdimension);
    signal.physical_min = p.phys_min;
    signal.physical_max = p.phys_max;
    signal.digital_max = p.dig_max;
    signal.samples.resize(static_cast<std::size_t>(p.smp_in_file));
    const int n = static_cast<int>(p.smp_in_file);
    if (n > 0 && edfread_physical_samples(header->handle, s, n, signal.samples.data()) != n) {
      edfclose_file(header->handle);
      throw std::runtime_error("cannot read signal " + signal.label + " of " + path);
    }
    contents.signals.push_back(std::move(signal));
  }
  for (long long i = 0; i < header->annotations_in_file; ++i) {
    edf_annotation_struct a{};
    if (edf_get_annotation(header->handle, static_cast<int>(i), &a) != 0) continue;
    bdf_annotation annotation;
    annotation.onset_seconds = static_cast<double>(a.onset) / EDFLIB_TIME_DIMENSION;
    annotation.duration_seconds =
        a.duration_l < 0 ? -1.0 : static_cast<double>(a.duration_l) / EDFLIB_TIME_DIMENSION;
    annotation.text = a.annotation;
    contents.annotations.push_back(std::move(annotation));
  }
  edfclose_file(header->handle);
  return contents;
}

}  // namespace calyra::test
