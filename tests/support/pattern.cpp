#include "support/pattern.hpp"

#include <regex.h>

#include <cstddef>

namespace adckit::test {
namespace {

// The few ECMAScript escapes the suites write, in the C library's extended
// syntax (whose engine costs nothing to compile, unlike std::regex): \d,
// \S and \n; other escapes (\. \( ...) mean the same in both.
std::string extended(const std::string &pattern) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '\\' || i + 1 == pattern.size()) {
      out += pattern[i];
      continue;
    }
    switch (const char next = pattern[++i]) {
      case 'd':
        out += "[0-9]";
        break;
      case 'S':
        out += "[^[:space:]]";
        break;
      case 'n':
        out += '\n';
        break;
      default:
        out += '\\';
        out += next;
    }
  }
  return out;
}

// The groups of the leftmost match, when `whole` the whole text's only.
// As in ECMAScript, `.` and a negated class do not take a newline.
std::optional<std::vector<std::string>> find(const std::string &text, const std::string &pattern,
                                             bool whole) {
  regex_t re;
  if (regcomp(&re, extended(pattern).c_str(), REG_EXTENDED | REG_NEWLINE) != 0) return std::nullopt;
  std::vector<regmatch_t> at(re.re_nsub + 1);
  const bool found = regexec(&re, text.c_str(), at.size(), at.data(), 0) == 0 &&
                     (!whole || (at[0].rm_so == 0 &&
                                 static_cast<std::size_t>(at[0].rm_eo) == text.size()));
  regfree(&re);
  if (!found) return std::nullopt;
  std::vector<std::string> groups;
  for (const regmatch_t &m : at) {
    groups.push_back(m.rm_so < 0 ? std::string()
                                 : text.substr(static_cast<std::size_t>(m.rm_so),
                                               static_cast<std::size_t>(m.rm_eo - m.rm_so)));
  }
  return groups;
}

}  // namespace

std::optional<std::vector<std::string>> match(const std::string &text, const std::string &pattern) {
  return find(text, pattern, true);
}

std::optional<std::vector<std::string>> search(const std::string &text,
                                               const std::string &pattern) {
  return find(text, pattern, false);
}

}  // namespace adckit::test
