// What --lsl-markers selects: a stream name, or PROPERTY=VALUE (type=Markers,
// source_id=..., hostname=...), as the XPath predicate LSL resolves by.
#pragma once

#include <stdexcept>
#include <string>

namespace calyra::lsl {

class bad_query : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// "name='Stimuli'" for "Stimuli", "type='Markers'" for "type=Markers".
// A property is letters, digits, '_' and '/' (desc/...); a value may hold
// either kind of quote but not both (XPath 1.0 cannot say so).
// Throws bad_query with the reason.
std::string query_predicate(const std::string& query);

}  // namespace calyra::lsl
