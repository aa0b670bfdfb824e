// What the link files share; callers never see it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "linklib.hpp"
#include "wire.hpp"

// Shared by the environment's owner and its open links: MLDeinitialize
// drops the owner's reference, and an environment released while links
// are still open goes away with the last of them.
struct MLEnv {
  std::atomic<int> refs{1};
};

inline void release(MLENV env) {
  if (env != nullptr && env->refs.fetch_sub(1) == 1) delete env;
}

struct MLink {
  MLENV env = nullptr;
  bool listening = false;  // still waiting for the peer to connect
  int listenFd = -1;
  int fd = -1;
  std::string name;        // as a peer would name this link
  std::string socketPath;  // Unix socket this side created, removed on close

  // Incoming side.  Whoever reads the socket decodes into `queue`: the
  // program's thread itself while it waits for data (the fast path), the
  // delivery thread while the program computes.  Messages are handed to the
  // handler only on the delivery thread; those the program's thread decodes
  // wait in `messages` for it.
  //
  // The delivery thread takes the socket back only once the program has
  // stayed away from it for a moment (`leftAt`), so a program that reads
  // again soon, as one serving calls does, never has to call it out of poll
  // nor wake it: each such hand-over would cost two thread switches.
  std::thread reader;
  std::mutex mutex;  // guards everything below up to `closing`
  std::condition_variable changed;
  std::deque<adckit::link::wire::Token> queue;
  std::size_t queuedBytes = 0;
  std::deque<adckit::link::wire::Message> messages;
  std::size_t messagesInHand = 0;  // taken by the delivery thread, not yet handled
  bool reading = false;  // the program's thread is reading the socket
  std::chrono::steady_clock::time_point leftAt{};  // when it last stopped
  bool watching = false;  // the delivery thread polls the socket
  bool parked = false;    // the delivery thread waits until `reading` ends
  bool ended = false;     // no more tokens will arrive
  int endError = 0;       // why: Dead or Malformed
  bool closing = false;
  std::mutex socketMutex;  // one reader of the socket at a time
  adckit::link::wire::Decoder decoder;
  std::vector<adckit::link::wire::Token> batch;  // guarded by socketMutex
  int wakeFd = -1;  // eventfd that calls the delivery thread out of poll
  std::atomic<MLMessageHandlerObject> handler{nullptr};
  MLYieldFunctionObject yielder = nullptr;

  // Calling thread's state.
  int error = 0;
  bool inPacket = false;  // MLNextPacket opened a packet not yet dropped
  std::string out;
  // Arguments still owed by each function being written, innermost last, so
  // a packet is never ended (nor nested deeper than the peer accepts) half
  // written.
  std::vector<std::uint32_t> outOpen;
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
