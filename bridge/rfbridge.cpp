// Installation of rfcomm[x_Integer]: the kernel calls it with one integer
// and gets back the integer that the program's rfcomm returns.

#include "bridge.h"
#include "internal.h"

namespace {

int _tr0(MLINK mlp) {
  int res = 0;
  int _tp1 = 0;
  if (!MLGetInteger(mlp, &_tp1)) return 0;
  if (!MLNewPacket(mlp)) return 0;
  const int _rp0 = rfcomm(_tp1);
  // Checked only after the call: a message that came while rfcomm ran
  // turns the answer into Abort[] and the reading is dropped.
  if (bridge_internal::load_flag(MLAbort) != 0) {
    res = MLPutFunction(mlp, "Abort", 0);
  } else {
    res = MLPutInteger(mlp, _rp0);
  }
  return res;
}

constexpr func _tramps[] = {
    {1, 0, _tr0, "rfcomm"},
};
constexpr int kFunctions = static_cast<int>(sizeof(_tramps) / sizeof(_tramps[0]));
static_assert(kFunctions == 1);

int _definepattern(MLINK mlp, const char *patt, const char *args, int func_n) {
  // The writes' results are not checked one by one: any failure leaves
  // the link in an error state, which is what decides the result.
  (void)MLPutFunction(mlp, "DefineExternal", 3);
  (void)MLPutString(mlp, patt);
  (void)MLPutString(mlp, args);
  (void)MLPutInteger(mlp, func_n);
  return MLError(mlp) == MLEOK ? 1 : 0;
}

}  // namespace

extern "C" {

int MLInstall(MLINK mlp) {
  return MLConnect(mlp) && _definepattern(mlp, "rfcomm[x_Integer]", "{ x }", 0) &&
                 MLPutSymbol(mlp, "End") && MLFlush(mlp)
             ? 1
             : 0;
}

int MLDoCallPacket(MLINK mlp) { return _MLDoCallPacket(mlp, _tramps, kFunctions); }

}  // extern "C"
