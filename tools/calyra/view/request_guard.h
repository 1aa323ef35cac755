// Who may use the view: requests that name a host that only this machine's
// own pages use and, for the stream and the annotation box, carry the token.
// The page takes the token from the address the program prints and sends it
// with each request (a header, or the query of the event stream), never in
// a cookie: browsers send cookies to every port of a host. The token keeps
// out other local users and other web pages; the host check keeps out pages
// that rebind their own domain name to 127.0.0.1. The page's own files hold
// nothing secret and are served on the host check alone, so that the page
// can load (and reload) before it has the token to send.
#pragma once

#include <string>

namespace calyra::view {

// 32 hex digits from the system's random source.
std::string make_token();

struct request_facts {
  std::string method;        // "GET", "POST", ...
  std::string host;          // Host header ("" when absent)
  std::string origin;        // Origin header ("" when absent)
  std::string token;         // token header, else ?token=... ("" when absent)
};

// The header the page sends the token in.
inline constexpr const char* token_header = "X-Calyra-Token";

enum class verdict {
  allowed,
  bad_host,
  bad_origin,
  no_token,
};

class request_guard {
 public:
  request_guard(std::string token, unsigned port);

  // `needs_token`: false for the page's own files.
  verdict check(const request_facts& request, bool needs_token) const;
  const std::string& token() const { return token_; }

 private:
  bool host_allowed(const std::string& host) const;
  bool token_matches(const std::string& candidate) const;

  std::string token_;
  unsigned port_;
};

}  // namespace calyra::view
