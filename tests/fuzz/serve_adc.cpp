// The sample spidev_mcp3008 of the serving-path fuzz target: answers a
// list of nx rows of dt (at most 64 rows), writes nothing at all for a
// negative nx, and for a dt that leaves 3 modulo 7 first asks the far side
// to evaluate a string, which serves any calls that come meanwhile.
#include <bridge.h>

namespace {
int nesting = 0;
}

extern "C" int spidev_mcp3008(int nx, int dt) {
  if (dt % 7 == 3 && nesting < 8) {
    ++nesting;
    char text[] = "Print[\"nested\"]";
    (void)MLEvaluateString(stdlink, text);
    --nesting;
  }
  if (nx < 0) return 0;
  const int rows = nx > 64 ? 64 : nx;
  int ok = MLPutFunction(stdlink, "List", rows);
  for (int row = 0; row < rows && ok; ++row) ok = MLPutInteger(stdlink, dt);
  return ok;
}
