#include "view/request_guard.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cctype>
#include <stdexcept>

namespace calyra::view {
namespace {

bool is_ipv4_literal(const std::string& name) {
  int parts = 0;
  std::size_t digits = 0;
  for (char c : name) {
    if (c == '.') {
      if (digits == 0) return false;
      ++parts;
      digits = 0;
    } else if (std::isdigit(static_cast<unsigned char>(c)) != 0 && digits < 3) {
      ++digits;
    } else {
      return false;
    }
  }
  return parts == 3 && digits > 0;
}

bool is_ipv6_literal(const std::string& name) {
  if (name.size() < 4 || name.front() != '[' || name.back() != ']') return false;
  for (std::size_t i = 1; i + 1 < name.size(); ++i) {
    const char c = name[i];
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0 && c != ':' && c != '.') return false;
  }
  return true;
}

}  // namespace

std::string make_token() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random numbers for the view's token");
  static const char* const hex = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token.push_back(hex[b >> 4]);
    token.push_back(hex[b & 15]);
  }
  return token;
}

request_guard::request_guard(std::string token, unsigned port) : token_(std::move(token)), port_(port) {}

bool request_guard::host_allowed(const std::string& host) const {
  // Only names that no other site can point here: IP literals and
  // localhost, with our port (browsers always send a non-default port).
  const std::size_t colon = host.rfind(':');
  if (colon == std::string::npos || host.substr(colon + 1) != std::to_string(port_)) return false;
  const std::string name = host.substr(0, colon);
  return name == "localhost" || is_ipv4_literal(name) || is_ipv6_literal(name);
}

bool request_guard::token_matches(const std::string& candidate) const {
  return candidate.size() == token_.size() &&
         CRYPTO_memcmp(candidate.data(), token_.data(), token_.size()) == 0;
}

verdict request_guard::check(const request_facts& r, bool needs_token) const {
  if (!host_allowed(r.host)) return verdict::bad_host;
  // Browsers name the page that sent a POST; only our own page may.
  if (r.method != "GET" && r.method != "HEAD" && !r.origin.empty() && r.origin != "http://" + r.host) {
    return verdict::bad_origin;
  }
  return !needs_token || token_matches(r.token) ? verdict::allowed : verdict::no_token;
}

}  // namespace calyra::view
