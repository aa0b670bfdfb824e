// What this process writes to its standard output and error while a piece
// of code runs, for tests of routines that report by printing.
#pragma once

#include <functional>
#include <string>

namespace adckit::test {

struct Captured {
  std::string out;
  std::string err;
};

// Runs `body` with descriptors 1 and 2 going to temporary files (stdio
// buffers flushed before and after), puts them back and returns what was
// written.  errno is left as `body` left it.  A failure to redirect fails
// the current test.
Captured capture(const std::function<void()> &body);

}  // namespace adckit::test
