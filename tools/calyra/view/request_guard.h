// Who may use the view: requests that carry the token (in the address the
// program prints, or in the cookie the first answer sets) and name a host
// that only this machine's own pages use. The token keeps out other local
// users and other web pages; the host check keeps out pages that rebind
// their own domain name to 127.0.0.1.
#pragma once

#include <string>

namespace calyra::view {

// 32 hex digits from the system's random source.
std::string make_token();

struct request_facts {
  std::string method;        // "GET", "POST", ...
  std::string host;          // Host header ("" when absent)
  std::string origin;        // Origin header ("" when absent)
  std::string query_token;   // ?token=... ("" when absent)
  std::string cookie;        // Cookie header ("" when absent)
};

enum class verdict {
  allowed,
  allowed_set_cookie,  // the token came in the query: the answer sets the cookie
  bad_host,
  bad_origin,
  no_token,
};

class request_guard {
 public:
  request_guard(std::string token, unsigned port);

  verdict check(const request_facts& request) const;

  // Name of the cookie (per port, since cookies do not tell ports apart).
  std::string cookie_name() const;
  // The Set-Cookie value that lets the page's later requests in.
  std::string set_cookie_value() const;
  const std::string& token() const { return token_; }

 private:
  bool host_allowed(const std::string& host) const;
  bool token_matches(const std::string& candidate) const;

  std::string token_;
  unsigned port_;
};

// The value of cookie `name` in a Cookie header ("" when absent).
std::string cookie_value(const std::string& header, const std::string& name);

}  // namespace calyra::view
