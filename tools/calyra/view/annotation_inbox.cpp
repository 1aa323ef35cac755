#include "view/annotation_inbox.h"

namespace calyra::view {
namespace {

// Length of the UTF-8 sequence starting at `at`, 0 when it is not one
// (overlong forms and surrogates included).
std::size_t utf8_sequence(const std::string& s, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b = byte(at);
  if (b < 0x80) return 1;
  std::size_t length = 0;
  unsigned min = 0;
  unsigned code = 0;
  if ((b & 0xe0) == 0xc0) { length = 2; min = 0x80; code = b & 0x1fU; }
  else if ((b & 0xf0) == 0xe0) { length = 3; min = 0x800; code = b & 0x0fU; }
  else if ((b & 0xf8) == 0xf0) { length = 4; min = 0x10000; code = b & 0x07U; }
  else return 0;
  if (at + length > s.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3fU);
  }
  if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  return length;
}

}  // namespace

annotation_inbox::ticket annotation_inbox::post(annotation_request request, reply done) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (waiting_.size() >= capacity_) return 0;
  waiting_.push_back({next_, std::move(request), std::move(done)});
  return next_++;
}

bool annotation_inbox::withdraw(ticket t) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto at = waiting_.begin(); at != waiting_.end(); ++at) {
    if (at->id != t) continue;
    waiting_.erase(at);
    return true;
  }
  return false;
}

void annotation_inbox::place_all(const std::function<annotation_outcome(const annotation_request&)>& place) {
  std::vector<entry> taken;
  {
    // Taken out under the lock, so a withdrawal either comes first or fails.
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(waiting_);
  }
  for (entry& e : taken) e.done(place(e.request));
}

std::string annotation_problem(const std::string& text) {
  if (text.find_first_not_of(' ') == std::string::npos) return "the annotation is empty";
  if (text.size() > max_annotation_bytes) {
    return "the annotation is longer than " + std::to_string(max_annotation_bytes) + " bytes";
  }
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t n = utf8_sequence(text, at);
    if (n == 0) return "the annotation is not UTF-8 text";
    // One line of text, like a line typed on standard input.
    if (n == 1 && (static_cast<unsigned char>(text[at]) < 0x20 || text[at] == 0x7f)) {
      return "the annotation holds a control character";
    }
    at += n;
  }
  return {};
}

}  // namespace calyra::view
