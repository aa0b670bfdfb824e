// libFuzzer target over linkpeer's text form: whatever parses must print as
// text that parses back to the same expression and prints the same again.
#include <text.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

using adckit::linkpeer::parse;
using adckit::linkpeer::print;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = parse(text);
  if (!first.expr) {
    if (first.error.empty()) {
      std::fprintf(stderr, "refused without saying why\n");
      std::abort();
    }
    return 0;
  }
  const std::string printed = print(*first.expr);
  auto second = parse(printed);
  if (!second.expr) {
    std::fprintf(stderr, "printed form does not parse: %s\n  %s\n", second.error.c_str(), printed.c_str());
    std::abort();
  }
  if (!(*second.expr == *first.expr)) {
    std::fprintf(stderr, "printed form parses to another expression:\n  %s\n", printed.c_str());
    std::abort();
  }
  if (print(*second.expr) != printed) {
    std::fprintf(stderr, "printing is not stable:\n  %s\n", printed.c_str());
    std::abort();
  }
  return 0;
}
