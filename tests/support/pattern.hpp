// Output checked against a regular expression: the C library's extended
// syntax, with ECMAScript's \d, \S and \n besides (pattern.cpp).  Not
// std::regex, whose engine took longer to compile than the suites using it.
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
