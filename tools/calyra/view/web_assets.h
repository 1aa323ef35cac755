// The page's files (tools/calyra/web), built into the program so that the
// view needs nothing from the network or the install tree.
#pragma once

#include <cstddef>
#include <string>

namespace calyra::view {

struct web_asset {
  const char* path;          // "/view.js"
  const char* content_type;  // "text/javascript; charset=utf-8"
  const unsigned char* data;
  std::size_t size;
};

// The asset served at `path` ("/" is "/index.html"); null when none is.
const web_asset* find_web_asset(const std::string& path);

}  // namespace calyra::view
