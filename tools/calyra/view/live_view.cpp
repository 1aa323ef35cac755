#include "view/live_view.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cmath>
#include <sstream>

#include "app/failure.h"
#include "view/frame_builder.h"
#include "view/frame_codec.h"

extern char** environ;

namespace calyra::view {
namespace {

using namespace std::chrono_literals;

constexpr auto frame_interval = 50ms;  // about 20 updates a second
constexpr auto status_interval = 250ms;
// Events kept for a page that opens (or reconnects) mid-stream: at 20
// frames, one spectrum and four status events a second, over ten seconds.
constexpr std::size_t event_history = 260;

std::string number(double v) {
  if (!std::isfinite(v)) return "null";
  std::ostringstream s;
  s.precision(10);
  s << v;
  return s.str();
}

std::string setup_json(const view_layout& l) {
  std::string labels;
  for (const std::string& label : l.labels) labels += (labels.empty() ? "" : ",") + json_string(label);
  return "{\"device\":" + json_string(l.device) + ",\"rate\":" + std::to_string(l.rate_hz) +
         ",\"bucket\":" + std::to_string(bucket_samples(l.rate_hz)) + ",\"unit\":" + json_string(l.unit) +
         ",\"labels\":[" + labels + "],\"file\":" + json_string(l.file) +
         ",\"target\":" + number(l.target_seconds) + "}";
}

std::string status_json(const live_status& s, std::uint64_t dropped_rows) {
  const display::stream_status& st = s.stream;
  std::string electrodes;
  for (const display::electrode_status& e : st.electrodes) {
    electrodes += std::string(electrodes.empty() ? "" : ",") + "{\"label\":" + json_string(e.label) +
                  ",\"grade\":" + json_string(e.grade) + ",\"reason\":" + json_string(e.reason) + "}";
  }
  return "{\"elapsed\":" + number(st.elapsed_seconds) + ",\"samples\":" + std::to_string(st.samples) +
         ",\"missed\":" + std::to_string(st.missed_packets) + ",\"lost\":" + std::to_string(st.lost_samples) +
         ",\"annotations\":" + std::to_string(st.annotations) + ",\"outages\":" + std::to_string(st.outages) +
         ",\"link\":" + json_string(st.link) +
         ",\"battery\":" + (s.battery_level < 0 ? std::string("null") : std::to_string(s.battery_level)) +
         ",\"charging\":" + (s.charging ? "true" : "false") +
         ",\"dropped\":" + std::to_string(dropped_rows) + ",\"electrodes\":[" + electrodes + "]}";
}

// The address as it goes into a URL.
std::string url_host(const std::string& listen) {
  if (listen == "0.0.0.0" || listen.empty()) return "127.0.0.1";
  if (listen == "::") return "[::1]";
  if (listen.find(':') != std::string::npos) return "[" + listen + "]";
  return listen;
}

bool is_loopback(const std::string& listen) {
  return listen == "localhost" || listen == "::1" || listen.rfind("127.", 0) == 0;
}

void spawn_xdg_open(const std::string& target, std::ostream& warnings) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = "xdg-open";
  std::string argument = target;
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = 0;
  const int failed = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    warnings << "calyra: warning: could not run xdg-open; open the address above yourself" << std::endl;
  }
  // Not waited for: it may stay as long as the browser it starts.
}

}  // namespace

live_view::live_view(const view_settings& settings, view_layout layout)
    : layout_(std::move(layout)),
      // Two seconds of rows: the worker takes them twenty times a second.
      tap_(2 * static_cast<std::size_t>(layout_.rate_hz) + 1, 64),
      hub_(event_history),
      inbox_(32),
      server_(hub_, inbox_, sse_event("setup", setup_json(layout_))) {
  server_.start(settings.listen, settings.port);
  origin_ = "http://" + url_host(settings.listen) + ":" + std::to_string(server_.port());
  url_ = origin_ + "/?token=" + server_.token();
  worker_ = std::thread([this] { work(); });
}

live_view::~live_view() { finish(""); }

void live_view::open_in_browser(const std::string& address, std::ostream& warnings) {
  try {
    redirect_ = std::make_unique<redirect_file>(address);
  } catch (const std::runtime_error& e) {
    warnings << "calyra: warning: " << e.what() << "; open the address above yourself" << std::endl;
    return;
  }
  spawn_xdg_open(redirect_->path(), warnings);
}

void live_view::rows_accepted(const recording::sample_block& rows) {
  display_rows copy;
  copy.first_row = rows_seen_;
  copy.streaming = rows.streaming;
  copy.channels.reserve(layout_.electrode_signals.size());
  for (std::size_t column : layout_.electrode_signals) copy.channels.push_back(rows.signals[column]);
  rows_seen_ += rows.size();
  tap_.put_rows(std::move(copy));
}

void live_view::annotation_placed(std::int64_t sample, const std::string& text) {
  tap_.put_annotation({sample, text});
}

bool live_view::status_due() {
  const auto now = std::chrono::steady_clock::now();
  if (now < next_status_) return false;
  next_status_ = now + status_interval;
  return true;
}

void live_view::publish_status(const display::stream_status& status, const cy_battery_info& battery) {
  live_status s;
  s.stream = status;
  s.battery_level = battery.level;
  s.charging = battery.is_charging;
  tap_.put_status(std::move(s));
}

void live_view::finish(const std::string& reason) {
  if (finished_) return;
  finished_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    end_reason_ = reason;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
  server_.stop();
}

void live_view::work() {
  frame_builder builder(layout_.electrode_signals.size(), layout_.rate_hz);
  const auto deliver_all = [&] {
    tap_contents c = tap_.take();
    dropped_rows_ += c.dropped_rows;
    for (const display_rows& rows : c.rows) builder.add(rows);
    for (const bucket_set& b : builder.take_buckets()) {
      hub_.publish(sse_event("samples", base64_encode(encode_samples(b))));
    }
    if (builder.spectrum_due()) {
      float bin_hz = 0;
      const auto amplitudes = builder.take_spectrum(bin_hz);
      hub_.publish(sse_event("spectrum", base64_encode(encode_spectrum(amplitudes, bin_hz))));
    }
    for (const placed_annotation& a : c.annotations) {
      hub_.publish(sse_event("annotation", "{\"sample\":" + std::to_string(a.sample) + ",\"seconds\":" +
                                               number(static_cast<double>(a.sample) / layout_.rate_hz) +
                                               ",\"text\":" + json_string(a.text) + "}"));
    }
    if (c.dropped_annotations > 0) {
      hub_.publish(sse_event("annotations-left-out", std::to_string(c.dropped_annotations)));
    }
    if (c.status) hub_.publish(sse_event("status", status_json(*c.status, dropped_rows_)));
  };
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, frame_interval, [&] { return stopping_; });
    lock.unlock();
    deliver_all();
    lock.lock();
  }
  lock.unlock();
  deliver_all();
  hub_.publish(sse_event("end", "{\"reason\":" + json_string(end_reason_) + "}"));
}

std::unique_ptr<live_view> open_live_view(const view_settings& settings, view_layout layout,
                                          std::ostream& out, std::ostream& warnings) {
  std::unique_ptr<live_view> view;
  try {
    view = std::make_unique<live_view>(settings, std::move(layout));
  } catch (const std::runtime_error& e) {
    throw app::command_failure(std::string("live view: ") + e.what());
  }
  if (!is_loopback(settings.listen)) {
    warnings << "calyra: warning: the view listens on " << settings.listen
             << ", beyond this machine; the token in its address is all that guards it, and the"
                " connection is not encrypted"
             << std::endl;
  }
  out << "Live view: " << view->url() << std::endl;
  if (settings.open) view->open_in_browser(view->url(), warnings);
  return view;
}

}  // namespace calyra::view
