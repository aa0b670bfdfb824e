// Installation of SPIDevMcp3008[nx_Integer,dt_Integer]: the kernel calls
// it with two integers and the program's spidev_mcp3008 writes the answer.

#include "bridge.h"

namespace {

int _tr0(MLINK mlp) {
  int _tp1 = 0;
  int _tp2 = 0;
  if (!MLGetInteger(mlp, &_tp1)) return 0;
  if (!MLGetInteger(mlp, &_tp2)) return 0;
  if (!MLNewPacket(mlp)) return 0;
  // The function has written its own answer by now, whatever it returns;
  // answering $Failed on top of it would put two expressions in one packet.
  (void)spidev_mcp3008(_tp1, _tp2);
  return 1;
}

constexpr func _tramps[] = {
    {2, 0, _tr0, "spidev_mcp3008"},
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
  return MLConnect(mlp) &&
                 _definepattern(mlp, "SPIDevMcp3008[nx_Integer,dt_Integer]", "{ nx, dt }", 0) &&
                 MLPutSymbol(mlp, "End") && MLFlush(mlp)
             ? 1
             : 0;
}

int MLDoCallPacket(MLINK mlp) { return _MLDoCallPacket(mlp, _tramps, kFunctions); }

}  // extern "C"
