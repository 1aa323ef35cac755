#include "view/headsets_page.h"

namespace calyra::view {
namespace {

std::string side_by_side_address(const std::vector<std::shared_ptr<live_view>>& views) {
  std::string address = views.front()->origin() + "/headsets.html#";
  for (std::size_t i = 0; i < views.size(); ++i) {
    address += (i == 0 ? "" : "&") + std::to_string(views[i]->port()) + "=" + views[i]->token();
  }
  return address;
}

}  // namespace

void show_side_by_side(const std::vector<std::shared_ptr<live_view>>& views, bool open, std::ostream& out,
                       std::ostream& warnings) {
  std::vector<std::string> origins;
  for (const auto& v : views) origins.push_back(v->origin());
  for (const auto& v : views) v->allow_framing(origins);
  const std::string address = side_by_side_address(views);
  out << "Live view of every headset: " << address << std::endl;
  if (open) views.front()->open_in_browser(address, warnings);
}

}  // namespace calyra::view
