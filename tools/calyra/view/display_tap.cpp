#include "view/display_tap.h"

namespace calyra::view {

display_tap::display_tap(std::size_t max_rows, std::size_t max_annotations)
    : max_rows_(max_rows), max_annotations_(max_annotations) {}

void display_tap::put_rows(display_rows&& rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_rows_ += rows.size();
  contents_.rows.push_back(std::move(rows));
  while (held_rows_ > max_rows_ && contents_.rows.size() > 1) {
    held_rows_ -= contents_.rows.front().size();
    contents_.dropped_rows += contents_.rows.front().size();
    contents_.rows.pop_front();
  }
}

void display_tap::put_annotation(placed_annotation&& annotation) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (contents_.annotations.size() < max_annotations_) {
    contents_.annotations.push_back(std::move(annotation));
  } else {
    ++contents_.dropped_annotations;
  }
}

void display_tap::put_status(live_status&& status) {
  std::lock_guard<std::mutex> lock(mutex_);
  contents_.status = std::move(status);
}

tap_contents display_tap::take() {
  tap_contents taken;
  std::lock_guard<std::mutex> lock(mutex_);
  std::swap(taken, contents_);
  held_rows_ = 0;
  return taken;
}

}  // namespace calyra::view
