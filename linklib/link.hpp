// What the link files share; callers never see it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
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

// Connection and transport (connection.cpp).
// Greets the peer and starts the delivery thread.
bool start(MLINK link);
// Records the link's first error; always false, for `return fail(...)`.
bool fail(MLINK link, int code);
// Accepts first on a listening link; false once the link has an error.
bool ensureConnected(MLINK link);
bool sendAll(int fd, const char* data, std::size_t size);
// Sends whatever expression data is buffered.
bool flush(MLINK link);

// Message delivery and the incoming queue (delivery.cpp).
// The delivery thread's body.
void deliver(MLINK link);
// Waits for the next token; flushes first so a peer waiting on our output
// cannot deadlock with us.  timeoutMs < 0: no limit.
enum class Wait { Ready, TimedOut, Failed };
Wait waitToken(MLINK link, int timeoutMs);
// The next token, left queued; null on a link error.
const wire::Token* peek(MLINK link);
// Takes the next token off the queue; false on a link error.
bool take(MLINK link, wire::Token& token);
void drop(MLINK link);

// Reads the tokens of one whole expression, handing each to `each`; the
// decoder has already checked that the nesting is sound, so a counter is
// enough.
template <typename Each>
bool takeExpression(MLINK link, Each each) {
  std::uint64_t owed = 1;
  wire::Token token;
  while (owed > 0) {
    if (!take(link, token)) return false;
    if (token.kind == wire::Kind::End) return fail(link, Error::Sequence);
    --owed;
    if (token.kind == wire::Kind::Function) owed += token.count;
    each(token);
  }
  return true;
}

}  // namespace adckit::link::detail
