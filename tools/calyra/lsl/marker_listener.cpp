#include "lsl/marker_listener.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "lsl/handles.h"
#include "lsl/marker_query.h"

namespace calyra::lsl {
namespace {

// Waits of the receiving threads, short so that stop() returns promptly.
constexpr double open_timeout_s = 0.5;
constexpr double correction_timeout_s = 0.5;
constexpr double pull_timeout_s = 0.1;
// lsl_time_correction keeps its estimate fresh in the background; asking
// this often is enough to follow it.
constexpr auto correction_refresh = std::chrono::seconds(2);
// An inlet's buffer, in hundreds of markers for an irregular stream.
constexpr std::int32_t inlet_buffer = 360;
constexpr std::uint32_t results_per_query = 64;
// A stream that accepts no connection for this long is left to the resolver,
// which offers it again while it still answers.
constexpr auto give_up_opening_after = std::chrono::seconds(5);

}  // namespace

struct marker_listener::worker {
  owned_streaminfo info;
  std::string uid;
  std::size_t record = 0;
  std::string name;
  std::int32_t channels = 1;
  std::atomic<bool> done{false};
  std::thread thread;
};

marker_listener::marker_listener(const api& library, const clock_link& clock_link, std::vector<std::string> queries,
                                 deliver_function deliver, std::vector<std::string> excluded_uids)
    : library_(library), clock_link_(clock_link), deliver_(std::move(deliver)), excluded_(std::move(excluded_uids)) {
  std::vector<std::string> predicates;
  for (const auto& query : queries) predicates.push_back(query_predicate(query));
  resolver_ = std::thread([this, p = std::move(predicates), q = std::move(queries)]() mutable {
    resolve_loop(std::move(p), std::move(q));
  });
}

marker_listener::~marker_listener() { stop(); }

void marker_listener::stop() {
  std::call_once(stopped_, [this] {
    {
      std::lock_guard lock(wake_mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    resolver_.join();
  });
}

std::vector<marker_source_record> marker_listener::sources() const {
  std::lock_guard lock(records_mutex_);
  return records_;
}

void marker_listener::update(std::size_t index, const std::function<void(marker_source_record&)>& change) {
  std::lock_guard lock(records_mutex_);
  change(records_[index]);
}

void marker_listener::resolve_loop(std::vector<std::string> predicates, std::vector<std::string> queries) {
  std::vector<owned_resolver> resolvers;
  for (const auto& predicate : predicates) {
    resolvers.emplace_back(library_.create_continuous_resolver_bypred(predicate.c_str(), forget_after_seconds),
                           library_.destroy_continuous_resolver);
  }
  // Streams being received (and calyra's own); a stream whose connection
  // broke leaves this list, so that it is received again if the resolver
  // still finds it. Its record stays the same.
  std::vector<std::string> receiving = excluded_;
  std::map<std::string, std::size_t> record_of;
  std::vector<streaminfo> results(results_per_query);
  while (!stopping_) {
    for (std::size_t q = 0; q < resolvers.size(); ++q) {
      if (!resolvers[q]) continue;
      const std::int32_t found =
          library_.resolver_results(resolvers[q].get(), results.data(), static_cast<std::uint32_t>(results.size()));
      for (std::int32_t i = 0; i < found; ++i) {
        owned_streaminfo info(results[static_cast<std::size_t>(i)], library_.destroy_streaminfo);
        const std::string uid = copy_string(library_.get_uid(info.get()));
        if (std::find(receiving.begin(), receiving.end(), uid) != receiving.end()) continue;
        receiving.push_back(uid);
        auto w = std::make_unique<worker>();
        w->uid = uid;
        w->name = copy_string(library_.get_name(info.get()));
        w->channels = std::max<std::int32_t>(1, library_.get_channel_count(info.get()));
        {
          std::lock_guard lock(records_mutex_);
          const auto known = record_of.find(uid);
          if (known != record_of.end()) {
            w->record = known->second;
            records_[w->record].connected = true;
          } else {
            w->record = records_.size();
            record_of.emplace(uid, w->record);
            records_.push_back({queries[q], w->name, copy_string(library_.get_type(info.get())),
                                copy_string(library_.get_source_id(info.get())),
                                copy_string(library_.get_hostname(info.get())), uid, false, 0.0, 0, true});
          }
        }
        w->info = std::move(info);
        worker& started = *w;
        workers_.push_back(std::move(w));
        started.thread = std::thread([this, &started] { receive(started); });
      }
    }
    // Threads whose stream was lost are joined as the run goes on, so a
    // stimulus program that restarts often does not pile them up.
    for (auto it = workers_.begin(); it != workers_.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        receiving.erase(std::find(receiving.begin(), receiving.end(), (*it)->uid));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
    std::unique_lock lock(wake_mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(resolve_every_ms), [this] { return stopping_.load(); });
  }
  for (auto& w : workers_) w->thread.join();
  workers_.clear();
}

void marker_listener::receive(worker& w) {
  // Recovery is off: a restarted stream is a new stream (new uid), found
  // by the resolver; recovering the old inlet as well would deliver its
  // markers twice. A connection that breaks (or never opens) while the
  // stream lives on is made again once the resolver offers it anew.
  owned_inlet in(library_.create_inlet(w.info.get(), inlet_buffer, 0, 0), library_.destroy_inlet);
  std::int32_t ec = no_error;
  if (in) {
    const auto give_up = std::chrono::steady_clock::now() + give_up_opening_after;
    do {
      library_.open_stream(in.get(), open_timeout_s, &ec);
    } while (ec == timeout_error && !stopping_ && std::chrono::steady_clock::now() < give_up);
  }
  const bool opened = in && ec == no_error;
  bool offset_known = false;
  double offset = 0.0;
  auto next_correction = std::chrono::steady_clock::now();
  std::vector<char*> buffer(static_cast<std::size_t>(w.channels), nullptr);
  while (opened && ec != lost_error && !stopping_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_correction) {
      const double measured = library_.time_correction(in.get(), correction_timeout_s, &ec);
      if (ec == no_error) {
        offset = measured;
        offset_known = true;
        next_correction = now + correction_refresh;
        update(w.record, [&](marker_source_record& r) {
          r.offset_known = true;
          r.clock_offset_s = measured;
        });
      }
      if (ec == lost_error) break;
      // Without an offset no marker is taken: it would be placed on the
      // wrong sample. Until then they wait in the inlet's buffer.
      if (!offset_known) continue;
    }
    std::fill(buffer.begin(), buffer.end(), nullptr);
    const double timestamp = library_.pull_sample_str(in.get(), buffer.data(), w.channels, pull_timeout_s, &ec);
    // Some liblsl versions hand out (empty) strings even when nothing came.
    std::string text;
    for (std::size_t c = 0; c < buffer.size(); ++c) {
      if (c > 0) text += ", ";
      text += take_string(library_, buffer[c]);
    }
    if (timestamp == 0.0 || ec != no_error) continue;
    received_marker marker{clock_link_.host_time_of(timestamp + offset), std::move(text), w.name};
    update(w.record, [](marker_source_record& r) { ++r.markers; });
    std::lock_guard lock(deliver_mutex_);
    deliver_(marker);
  }
  update(w.record, [](marker_source_record& r) { r.connected = false; });
  w.done = true;
}

}  // namespace calyra::lsl
