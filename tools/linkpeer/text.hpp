// The text form of expressions that linkpeer reads and prints:
//   42  -7  "a \"quoted\" string"  $Failed  rfcomm[5]  {1, 2, 3}  Abort[]
// Braces are List[...]; nothing else of a language's input syntax is taken.
#pragma once

#include <linklib.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace adckit::linkpeer {

using link::Expr;

struct ParseResult {
  std::optional<Expr> expr;
  std::string error;  // set when expr is empty: what is wrong and where
};

// Parses exactly one expression; anything but blanks after it is an error.
ParseResult parse(std::string_view text);

// Prints in the form parse reads back.
std::string print(const Expr& expr);

// An announced pattern such as "SPIDevMcp3008[nx_Integer,dt_Integer]".
struct Pattern {
  std::string head;
  // One entry per argument: the type after the underscore ("Integer"), or
  // empty for a bare blank that takes anything.
  std::vector<std::string> types;
};
std::optional<Pattern> parsePattern(std::string_view text);
// Whether a call such as rfcomm[5] fits the pattern.
bool matches(const Pattern& pattern, const Expr& call);

}  // namespace adckit::linkpeer
