#include "recording/csv_writer.h"

#include <charconv>
#include <cmath>

namespace calyra::recording {
namespace {

// Shortest text that reads back as the same value.
template <class T>
void put_number(std::ofstream& out, T value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc{}) return;
  out.write(buffer, end - buffer);
}

}  // namespace

std::string csv_cell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

csv_writer::csv_writer(const std::string& path, const recording_layout& layout, double hold_seconds)
    : path_(path),
      layout_(layout),
      out_(path, std::ios::binary | std::ios::trunc),
      hold_rows_(static_cast<std::size_t>(std::ceil(hold_seconds * layout.sample_rate_hz))) {
  if (!out_) throw recording_error("cannot create CSV file " + path_);
  out_ << "sample";
  for (const signal_description& d : layout_.signals) out_ << ',' << csv_cell(d.label);
  out_ << ",STREAMING,ANNOTATION\n";
  pending_.reset(layout_.signals.size());
}

void csv_writer::write_row(std::size_t i) {
  const std::uint64_t number = pending_.sample_numbers[i];
  put_number(out_, number);
  for (std::size_t s = 0; s < layout_.signals.size(); ++s) {
    out_ << ',';
    const double v = pending_.signals[s][i];
    switch (layout_.signals[s].kind) {
      case signal_kind::contact: out_ << (v != 0.0 ? '1' : '0'); break;
      // The accelerometer delivers single-precision values; print them so.
      case signal_kind::accelerometer: put_number(out_, static_cast<float>(v)); break;
      case signal_kind::electrode: put_number(out_, v); break;
    }
  }
  out_ << ',' << static_cast<unsigned>(pending_.streaming[i]) << ',';
  // Annotations stamped before this row that found no earlier row go here too.
  std::string joined;
  auto it = annotations_.begin();
  bool first = true;
  while (it != annotations_.end() && it->first <= static_cast<std::int64_t>(number)) {
    joined += (first ? "" : " | ") + it->second;
    first = false;
    it = annotations_.erase(it);
  }
  out_ << csv_cell(joined) << '\n';
  any_row_written_ = true;
}

void csv_writer::flush_rows(std::size_t keep) {
  const std::size_t available = pending_.size() - pending_first_;
  if (available <= keep) return;
  const std::size_t until = pending_.size() - keep;
  for (std::size_t i = pending_first_; i < until; ++i) write_row(i);
  pending_first_ = until;
  // Drop written rows once they make up most of the buffer.
  if (pending_first_ > hold_rows_ + 1024) {
    sample_block rest;
    rest.reset(layout_.signals.size());
    rest.append(pending_, pending_first_, pending_.size() - pending_first_);
    pending_ = std::move(rest);
    pending_first_ = 0;
  }
  if (!out_) throw recording_error("cannot write to " + path_ + " (disk full?)");
}

void csv_writer::write(const sample_block& block) {
  pending_.append(block, 0, block.size());
  flush_rows(hold_rows_);
}

void csv_writer::annotate(std::int64_t sample, const std::string& text) {
  annotations_.emplace(sample, text);
}

void csv_writer::close() {
  if (!out_.is_open()) return;
  // Annotations after the last sample belong to the last row.
  if (pending_.size() > pending_first_) {
    const std::uint64_t last = pending_.sample_numbers.back();
    std::multimap<std::int64_t, std::string> clamped;
    for (auto& [sample, text] : annotations_) {
      clamped.emplace(std::min<std::int64_t>(sample, static_cast<std::int64_t>(last)), std::move(text));
    }
    annotations_ = std::move(clamped);
  }
  flush_rows(0);
  out_.close();
  if (!out_) throw recording_error("cannot finish the CSV file " + path_);
}

}  // namespace calyra::recording
