#include "lsl/marker_query.h"

#include <algorithm>
#include <cctype>

namespace calyra::lsl {
namespace {

bool property_character(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '/';
}

std::string quoted(const std::string& value, const std::string& query) {
  const bool single = value.find('\'') != std::string::npos;
  const bool double_ = value.find('"') != std::string::npos;
  if (single && double_) throw bad_query("\"" + query + "\": a value cannot hold both ' and \"");
  return single ? "\"" + value + "\"" : "'" + value + "'";
}

}  // namespace

std::string query_predicate(const std::string& query) {
  if (query.empty()) throw bad_query("an empty query selects no stream");
  const auto equals = query.find('=');
  if (equals == std::string::npos) return "name=" + quoted(query, query);
  const std::string property = query.substr(0, equals);
  const std::string value = query.substr(equals + 1);
  if (property.empty() || !std::all_of(property.begin(), property.end(), property_character) ||
      property.front() == '/' || property.back() == '/') {
    throw bad_query("\"" + query + "\": \"" + property + "\" is not a stream property (such as type or source_id)");
  }
  if (value.empty()) throw bad_query("\"" + query + "\": no value after '='");
  return property + "=" + quoted(value, query);
}

}  // namespace calyra::lsl
