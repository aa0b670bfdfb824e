// The sample rfcomm of the serving-path fuzz target: answers twice its
// argument, and for arguments that leave 13 modulo 97 first asks the far
// side to evaluate a string, which serves any calls that come meanwhile.
#include <bridge.h>

namespace {
int nesting = 0;
}

extern "C" int rfcomm(int x) {
  if (x % 97 == 13 && nesting < 8) {
    ++nesting;
    char text[] = "Print[\"nested\"]";
    (void)MLEvaluateString(stdlink, text);
    --nesting;
  }
  return static_cast<int>(static_cast<unsigned>(x) * 2u);
}
