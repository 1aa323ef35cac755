// Text helpers for log lines and error reports.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>

namespace calyra::launcher {

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool is_valid_utf8(std::string_view text);

// `text` in double quotes with \" \\ \n \r \t \0 escaped, other control
// characters as \u{hex} and bytes that are not part of valid UTF-8 as \xHH,
// so that any line read from a child fits on one log line unambiguously.
std::string debug_quoted(std::string_view text);

// "No such file or directory (errno 2)": the description that follows ": "
// in every failure report.
std::string describe(const std::error_code& error);

// The error code of the current errno.
std::error_code last_os_error();

}  // namespace calyra::launcher
