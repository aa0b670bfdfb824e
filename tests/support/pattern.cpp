#include "support/pattern.hpp"

#include <regex>

namespace adckit::test {
namespace {

std::vector<std::string> groups(const std::smatch &m) {
  std::vector<std::string> out;
  for (const auto &group : m) out.push_back(group.str());
  return out;
}

}  // namespace

std::optional<std::vector<std::string>> match(const std::string &text, const std::string &pattern) {
  std::smatch m;
  if (!std::regex_match(text, m, std::regex(pattern))) return std::nullopt;
  return groups(m);
}

std::optional<std::vector<std::string>> search(const std::string &text,
                                               const std::string &pattern) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(pattern))) return std::nullopt;
  return groups(m);
}

}  // namespace adckit::test
