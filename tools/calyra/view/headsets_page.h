// The page of every headset of a session: each headset's own page (its own
// server, port and token) in a frame, side by side, so that one tab shows
// them all. It is a page file that every view serves; the ports and tokens
// travel in its address's fragment, which the browser never sends to a
// server, and only the session's own views may frame one another.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "view/live_view.h"

namespace calyra::view {

// Lets the views frame one another, prints the page's address on `out`
// (the first view's origin, "/headsets.html#", then "PORT=TOKEN" for each
// view joined by '&') and, when `open`, opens it in the browser (as --open
// does for one view). `views` holds at least one.
void show_side_by_side(const std::vector<std::shared_ptr<live_view>>& views, bool open, std::ostream& out,
                       std::ostream& warnings);

}  // namespace calyra::view
