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

// The page's address: the first view's origin, "/headsets.html#", then
// "PORT=TOKEN" for each view joined by '&'. `views` holds at least one.
std::string side_by_side_address(const std::vector<std::shared_ptr<live_view>>& views);

// Lets the views frame one another, prints the page's address on `out`
// and, when `open`, opens it in the browser (as --open does for one view).
void show_side_by_side(const std::vector<std::shared_ptr<live_view>>& views, bool open, std::ostream& out,
                       std::ostream& warnings);

}  // namespace calyra::view
