// The live view of a stream in the browser. The stream session hands it
// copies of what it records (through view_sink) and its status;
// a worker thread turns them into events, and the server sends them to
// every open page. The page's annotations come back through
// place_annotation_requests, to be placed like lines typed on standard input.
#pragma once

#include <cycore.h>

#include <condition_variable>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "recording/sample_block.h"
#include "view/annotation_inbox.h"
#include "view/display_tap.h"
#include "view/event_hub.h"
#include "view/redirect_file.h"
#include "view/view_server.h"
#include "view/view_settings.h"

namespace calyra::view {

struct view_layout {
  std::vector<std::string> labels;               // of the electrodes
  std::vector<std::size_t> electrode_signals;    // their columns in a sample_block
  unsigned rate_hz = 250;
  std::string unit = "uV";
  std::string device;                            // "CY KESTREL 5 (KESTREL)"
  std::string file;                              // the recording, "" when none
  double target_seconds = 0.0;                   // 0: until stopped
};

class live_view {
 public:
  // Starts serving on settings.listen:settings.port. Throws
  // std::runtime_error when that cannot be bound.
  live_view(const view_settings& settings, view_layout layout);
  ~live_view();  // finish("")

  live_view(const live_view&) = delete;
  live_view& operator=(const live_view&) = delete;

  // The address to open, token included.
  const std::string& url() const { return url_; }
  unsigned port() const { return server_.port(); }
  const std::string& token() const { return server_.token(); }
  // Where its pages come from: "http://127.0.0.1:8001".
  const std::string& origin() const { return origin_; }
  // See view_server::allow_framing.
  void allow_framing(const std::vector<std::string>& origins) { server_.allow_framing(origins); }

  // Copies of what the stream keeps (the view's sink hands them over):
  // rows as counted, unfiltered; annotations as stored. They only copy
  // into a bounded hand-over, so that they never hold up the recording.
  void rows_accepted(const recording::sample_block& rows);
  void annotation_placed(std::int64_t sample, const std::string& text);

  // True about four times a second: time to call publish_status.
  bool status_due();
  void publish_status(const display::stream_status& status, const cy_battery_info& battery);

  // Places the annotations typed into the page since the last call with
  // `place`, oldest first; each page is told the outcome `place` returns.
  void place_annotation_requests(const std::function<annotation_outcome(const annotation_request&)>& place) {
    inbox_.place_all(place);
  }

  // --open: hands xdg-open a private page that carries the browser to
  // `address` (kept until the view ends), warning on `warnings` when that
  // cannot be done.
  void open_in_browser(const std::string& address, std::ostream& warnings);

  // Tells the pages why the stream ended, then stops the server. Idempotent.
  void finish(const std::string& reason);

 private:
  void work();

  view_layout layout_;
  display_tap tap_;
  event_hub hub_;
  annotation_inbox inbox_;
  view_server server_;
  std::string origin_;
  std::string url_;
  std::unique_ptr<redirect_file> redirect_;
  std::uint64_t rows_seen_ = 0;                  // recording thread only
  std::chrono::steady_clock::time_point next_status_{};
  std::uint64_t dropped_rows_ = 0;               // worker only

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::string end_reason_;
  std::thread worker_;
  bool finished_ = false;
};

// Starts the view for a stream: prints its address on `out` (warning on
// `warnings` when it listens beyond this machine) and, when asked, opens it
// with xdg-open (through a private redirect file, so that the token is not
// in xdg-open's arguments). Throws app::command_failure when it cannot listen.
std::unique_ptr<live_view> open_live_view(const view_settings& settings, view_layout layout,
                                          std::ostream& out, std::ostream& warnings);

}  // namespace calyra::view
