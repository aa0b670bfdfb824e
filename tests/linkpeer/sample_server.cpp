// A small program that serves external functions over the stand-in link the
// way a bridge does, using only the C calls; the peer's tests drive it.
//   add[a_Integer,b_Integer]  a + b
//   slow[ms_Integer]          sleeps ms milliseconds, then ms, or Abort[] after a message
//   twice[n_Integer]          evaluates "add[n,n]" through the peer, then answers 2 n
//   say[n_Integer]            asks the peer to evaluate a plain string, answers n
//   rows[n_Integer]           a list of n rows {i, i*i}
#include <mathlink.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

std::atomic<int> aborted{0};
std::atomic<int> done{0};

void onMessage(MLINK, int code, int) {
  if (code == MLTerminateMessage) done = 1;
  if (code >= MLTerminateMessage && code <= MLAbortMessage) aborted = 1;
}

int answer(MLINK link);

// Sends a string for evaluation and serves calls until the result comes.
bool evaluate(MLINK link, const std::string& text) {
  if (!MLPutFunction(link, "EvaluatePacket", 1) || !MLPutFunction(link, "ToExpression", 1) ||
      !MLPutString(link, text.c_str()) || !MLEndPacket(link)) {
    return false;
  }
  for (;;) {
    int pkt = answer(link);
    MLNewPacket(link);
    if (pkt == RETURNPKT) return true;
    if (pkt == 0) return false;
  }
}

bool serveCall(MLINK link) {
  int index = 0;
  int count = 0;
  int a = 0;
  int b = 0;
  bool ok = MLGetInteger(link, &index) && MLTestHead(link, "List", &count);
  if (ok && index == 0) ok = count == 2 && MLGetInteger(link, &a) && MLGetInteger(link, &b);
  if (ok && index >= 1 && index <= 4) ok = count == 1 && MLGetInteger(link, &a);
  if (ok && index > 4) ok = false;
  if (ok) ok = MLNewPacket(link) != 0;
  if (ok) {
    switch (index) {
      case 0: ok = MLPutInteger(link, a + b); break;
      case 1: {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(a);
        while (!aborted && std::chrono::steady_clock::now() < until) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ok = aborted ? MLPutFunction(link, "Abort", 0) : MLPutInteger(link, a);
        break;
      }
      case 2:
        ok = evaluate(link, "add[" + std::to_string(a) + "," + std::to_string(a) + "]") && MLPutInteger(link, 2 * a);
        break;
      case 3: ok = evaluate(link, "Print[\"hello\"]") && MLPutInteger(link, a); break;
      case 4:
        ok = MLPutFunction(link, "List", a);
        for (int i = 0; ok && i < a; ++i) {
          ok = MLPutFunction(link, "List", 2) && MLPutInteger(link, i) && MLPutInteger(link, i * i);
        }
        break;
    }
  }
  if (!ok) {
    if (!MLClearError(link) || !MLPutSymbol(link, "$Failed")) return false;
  }
  return MLEndPacket(link) && MLNewPacket(link);
}

int answer(MLINK link) {
  int pkt = 0;
  while (!done && !MLError(link) && MLWaitForLinkActivity(link) == MLWAITSUCCESS && (pkt = MLNextPacket(link)) == CALLPKT) {
    aborted = 0;
    if (!serveCall(link)) pkt = 0;
  }
  aborted = 0;
  return pkt;
}

bool define(MLINK link, const char* pattern, const char* args, int index) {
  MLPutFunction(link, "DefineExternal", 3);
  MLPutString(link, pattern);
  MLPutString(link, args);
  MLPutInteger(link, index);
  return MLError(link) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  MLENV env = MLInitialize(nullptr);
  int error = 0;
  MLINK link = MLOpenArgcArgv(env, argc, argv, &error);
  if (link == nullptr) {
    MLAlert(env, MLErrorString(env, error));
    MLDeinitialize(env);
    return 3;
  }
  MLSetMessageHandler(link, onMessage);
  bool installed = MLConnect(link) && define(link, "add[a_Integer,b_Integer]", "{ a, b }", 0) &&
                   define(link, "slow[ms_Integer]", "{ ms }", 1) && define(link, "twice[n_Integer]", "{ n }", 2) &&
                   define(link, "say[n_Integer]", "{ n }", 3) && define(link, "rows[n_Integer]", "{ n }", 4) &&
                   MLPutSymbol(link, "End") && MLFlush(link);
  while (installed) {
    int pkt = answer(link);
    if (pkt != RESUMEPKT) break;
    // Refuse to act as a front end, as a bridge does.
    MLPutFunction(link, "EvaluatePacket", 1);
    MLPutFunction(link, "Refused", 1);
    MLTransferExpression(link, link);
    MLEndPacket(link);
    while ((pkt = MLNextPacket(link)) != 0 && pkt != SUSPENDPKT) MLNewPacket(link);
    MLNewPacket(link);
    if (MLError(link)) break;
  }
  MLClose(link);
  MLDeinitialize(env);
  std::printf("served until %s\n", done ? "terminated" : "the link ended");
  return done ? 0 : 1;
}
