#include "text.h"

#include <cerrno>
#include <cstdio>

namespace calyra::launcher {
namespace {

// Length of the well-formed UTF-8 sequence that starts at `at`, or 0 when the
// byte there does not start one.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(at);
  if (lead < 0x80) return 1;

  std::size_t length = 0;
  unsigned second_min = 0x80;
  unsigned second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;  // overlong
    if (lead == 0xED) second_max = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;  // overlong
    if (lead == 0xF4) second_max = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < second_min || byte(at + 1) > second_max) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

void append_hex_escape(std::string& out, const char* format, unsigned value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, format, value);
  out += buffer;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_sequence_length(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_sequence_length(text, at);
    const auto byte = static_cast<unsigned char>(text[at]);
    if (length == 0) {
      append_hex_escape(out, "\\x%02x", byte);
      at += 1;
      continue;
    }
    if (length > 1) {
      out.append(text.substr(at, length));
      at += length;
      continue;
    }
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          append_hex_escape(out, "\\u{%x}", byte);
        } else {
          out += static_cast<char>(byte);
        }
    }
    at += 1;
  }
  out += '"';
  return out;
}

std::string describe(const std::error_code& error) {
  return error.message() + " (errno " + std::to_string(error.value()) + ")";
}

std::error_code last_os_error() { return {errno, std::generic_category()}; }

}  // namespace calyra::launcher
