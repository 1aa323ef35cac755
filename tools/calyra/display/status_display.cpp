#include "display/status_display.h"

#include <algorithm>
#include <sstream>

#include "display/progress_bar.h"

namespace calyra::display {
namespace {

std::string header_text(const stream_status& s) {
  std::ostringstream line;
  if (!s.headset.empty()) line << s.headset << ": ";
  if (s.target_seconds > 0.0) {
    line << progress_bar(s.elapsed_seconds / s.target_seconds, 30) << ' '
         << format_seconds(s.elapsed_seconds) << " / " << format_seconds(s.target_seconds);
  } else {
    line << format_seconds(s.elapsed_seconds) << " (until Ctrl-C)";
  }
  return line.str();
}

std::string counts_text(const stream_status& s) {
  std::ostringstream line;
  line << "samples " << s.samples << "  missed packets " << s.missed_packets;
  if (s.lost_samples > 0) line << " (" << s.lost_samples << " samples filled)";
  if (s.annotations > 0) line << "  annotations " << s.annotations;
  if (s.outages > 0) line << "  link losses " << s.outages;
  if (!s.link.empty()) line << "  " << s.link;
  return line.str();
}

std::string electrode_text(const electrode_status& e) {
  std::string text = e.label + " " + e.grade;
  if (!e.reason.empty()) text += " (" + e.reason + ")";
  return text;
}

}  // namespace

std::vector<std::string> render_status_block(const stream_status& s, int columns) {
  std::vector<std::string> lines{header_text(s), counts_text(s)};
  constexpr std::size_t cell_width = 26;  // "E32 noisy (mains 50 Hz)" and a margin
  // Stay clear of the last column: writing there wraps in some terminals.
  const std::size_t usable = columns > 3 ? static_cast<std::size_t>(columns) - 3 : 1;
  const std::size_t per_line = std::max<std::size_t>(1, usable / (cell_width + 1));
  for (std::size_t i = 0; i < s.electrodes.size(); i += per_line) {
    std::string line = " ";
    for (std::size_t j = i; j < s.electrodes.size() && j < i + per_line; ++j) {
      std::string cell = electrode_text(s.electrodes[j]);
      if (cell.size() < cell_width) cell.resize(cell_width, ' ');
      line += " " + cell;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string render_status_line(const stream_status& s) {
  std::string line = header_text(s) + "  " + counts_text(s);
  if (!s.electrodes.empty()) {
    line += "  quality:";
    for (const electrode_status& e : s.electrodes) line += " " + electrode_text(e);
  }
  return line;
}

status_display::status_display(std::ostream& out, bool refreshing, int columns)
    : out_(out), refreshing_(refreshing), columns_(columns) {}

void status_display::erase_block() {
  if (drawn_lines_ > 0) {
    out_ << "\x1b[" << drawn_lines_ << "A\r\x1b[J";
    drawn_lines_ = 0;
  }
}

void status_display::show(const std::vector<stream_status>& statuses) {
  last_ = statuses;
  have_last_ = true;
  if (!refreshing_) {
    for (const stream_status& status : statuses) out_ << render_status_line(status) << '\n';
    out_.flush();
    return;
  }
  erase_block();
  int lines_drawn = 0;
  for (const stream_status& status : statuses) {
    const auto lines = render_status_block(status, columns_);
    for (const std::string& line : lines) out_ << line << '\n';
    lines_drawn += static_cast<int>(lines.size());
  }
  drawn_lines_ = lines_drawn;
  out_.flush();
}

void status_display::message(const std::string& line) {
  erase_block();
  out_ << line << '\n';
  if (refreshing_ && have_last_) {
    show(last_);
  } else {
    out_.flush();
  }
}

void status_display::finish() {
  drawn_lines_ = 0;
  out_.flush();
}

}  // namespace calyra::display
