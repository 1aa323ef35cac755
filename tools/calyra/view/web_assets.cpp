#include "view/web_assets.h"

// Generated at build time from tools/calyra/web by embed_web_assets.cmake:
// defines `embedded_assets`.
#include "web_asset_table.inc"

namespace calyra::view {

const web_asset* find_web_asset(const std::string& path) {
  const std::string wanted = path == "/" ? "/index.html" : path;
  for (const web_asset& a : embedded_assets) {
    if (wanted == a.path) return &a;
  }
  return nullptr;
}

}  // namespace calyra::view
