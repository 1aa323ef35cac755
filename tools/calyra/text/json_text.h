// JSON text shared by calyra's writers (the recording sidecar) and the live
// view's messages.
#pragma once

#include <string>

namespace calyra::text {

// `text` as a JSON string literal, quotes included. Control characters are
// escaped, so the result never holds a line break.
std::string json_string(const std::string& text);

}  // namespace calyra::text
