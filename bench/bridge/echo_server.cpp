// The floor for the bridge benchmark: a program that answers the same call
// packets over the same link library, with no bridge runtime in between.
// It announces echo[x_Integer] and answers each call with its argument.
#include <mathlink.h>

namespace {
// Set up like a bridge's link, so both pay for the same message delivery.
void ignore_messages(MLINK, int, int) {}
}  // namespace

int main(int argc, char **argv) {
  MLENV env = MLInitialize(nullptr);
  if (env == nullptr) return 2;
  int err = MLEOK;
  MLINK link = MLOpenArgcArgv(env, argc, argv, &err);
  if (link == nullptr) {
    MLDeinitialize(env);
    return 2;
  }
  (void)MLSetMessageHandler(link, ignore_messages);
  const bool announced = MLConnect(link) && MLPutFunction(link, "DefineExternal", 3) &&
                         MLPutString(link, "echo[x_Integer]") && MLPutString(link, "{ x }") &&
                         MLPutInteger(link, 0) && MLPutSymbol(link, "End") && MLFlush(link);
  while (announced && MLWaitForLinkActivity(link) == MLWAITSUCCESS &&
         MLNextPacket(link) == CALLPKT) {
    int index = 0;
    int count = 0;
    int x = 0;
    const bool read = MLGetInteger(link, &index) && MLTestHead(link, "List", &count) &&
                      MLGetInteger(link, &x) && MLNewPacket(link);
    if (!(read ? MLPutInteger(link, x) : MLPutSymbol(link, "$Failed")) || !MLEndPacket(link)) break;
  }
  MLClose(link);
  MLDeinitialize(env);
  return 0;
}
