// What the link files share; callers never see it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "linklib.hpp"
#include "wire.hpp"

struct MLEnv {
  std::atomic<int> links{0};
};

struct MLink {
  MLENV env = nullptr;
  bool listening = false;  // still waiting for the peer to connect
  int listenFd = -1;
  int fd = -1;
  std::string name;        // as a peer would name this link
  std::string socketPath;  // Unix socket this side created, removed on close

  // Incoming side: the delivery thread decodes the socket into this queue
  // and hands messages straight to the handler.
  std::thread reader;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<adckit::link::wire::Token> queue;
  std::size_t queuedBytes = 0;
  bool ended = false;  // no more tokens will arrive
  int endError = 0;    // why: Dead or Malformed
  bool closing = false;
  std::atomic<MLMessageHandlerObject> handler{nullptr};
  MLYieldFunctionObject yielder = nullptr;

  // Calling thread's state.
  int error = 0;
  bool inPacket = false;  // MLNextPacket opened a packet not yet dropped
  std::string out;
  std::mutex writeMutex;  // a message may be sent while data is flushed
};

namespace adckit::link::detail {

// Opening (open.cpp).
MLINK open(MLENV env, const std::vector<std::string>& args, int* error);
// Accepts on a listening link; timeoutMs < 0 waits without limit.
// Returns Ok, TimedOut or another error code.
int accept(MLINK link, int timeoutMs);
// Starts the delivery thread and greets the peer (link.cpp).
bool start(MLINK link);

}  // namespace adckit::link::detail
