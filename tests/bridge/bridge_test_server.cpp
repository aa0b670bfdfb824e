// A bridge program for the end-to-end tests, built on librfbridge.a like
// rfcomm_server, whose rfcomm makes the timing of messages and nested
// evaluations deterministic:
//   rfcomm[500]        creates the file named by BRIDGE_TEST_READY (so the
//                      test knows the call is running), waits up to 30 s
//                      until a message has set MLAbort, then returns 500;
//   rfcomm[1000 + k]   evaluates "rfcomm[k]" through the kernel and returns
//                      1000 * (MLEvaluateString's result) + the number of
//                      calls served meanwhile;
//   rfcomm[x]          anything else: returns 2 x + 1.

#include <adckit/bridge.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

int served = 0;

// The handler writes MLAbort on the link library's thread.
bool aborted() { return std::atomic_ref<int>(MLAbort).load() != 0; }

}  // namespace

extern "C" int rfcomm(int x) {
  ++served;
  if (x == 500) {
    if (const char *ready = std::getenv("BRIDGE_TEST_READY"); ready != nullptr) {
      if (std::FILE *f = std::fopen(ready, "w"); f != nullptr) (void)std::fclose(f);
    }
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!aborted() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 500;
  }
  if (x >= 1000) {
    std::string text = std::string("rfcomm[").append(std::to_string(x - 1000)).append("]");
    const int before = served;
    const int ok = MLEvaluateString(stdlink, text.data());
    return 1000 * ok + (served - before);
  }
  return 2 * x + 1;
}

int main(int argc, char **argv) { return MLMain(argc, argv); }
