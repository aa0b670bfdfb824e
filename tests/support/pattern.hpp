// Output checked against a regular expression (ECMAScript syntax, as
// std::regex takes it).  The engine is compiled here, once, rather than in
// every suite that checks a line's shape: it was most of those suites'
// compiling.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace adckit::test {

// The groups of a match of the whole text, group 0 first, or nothing.
std::optional<std::vector<std::string>> match(const std::string &text, const std::string &pattern);
// The groups of the first match anywhere in the text, or nothing.
std::optional<std::vector<std::string>> search(const std::string &text, const std::string &pattern);
// Whether the whole text matches.
inline bool matches(const std::string &text, const std::string &pattern) {
  return match(text, pattern).has_value();
}

}  // namespace adckit::test
