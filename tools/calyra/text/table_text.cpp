#include "text/table_text.h"

#include <cstdio>
#include <ctime>

namespace calyra::text {

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    cells.push_back(line.substr(start, tab - start));
  }
  cells.push_back(line.substr(start));
  return cells;
}

std::string utc_iso_time(std::chrono::system_clock::time_point t, int fraction_digits) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      t - std::chrono::system_clock::from_time_t(seconds)).count();
  long long fraction = us;
  for (int d = 6; d > fraction_digits; --d) fraction /= 10;
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%0*lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, fraction_digits, fraction);
  return text;
}

}  // namespace calyra::text
