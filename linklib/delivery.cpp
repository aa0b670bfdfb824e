// Message delivery: who reads a link's socket, and how messages reach the
// handler while the program computes.  Each link has a delivery thread that
// watches the socket whenever the program's thread does not; while the
// program waits for data it reads the socket itself (the fast path) and
// hands the messages it decodes to the delivery thread, which alone runs
// the handler.  Decoded tokens wait in the link's queue, bounded in bytes,
// for the get side to take them; a flood of messages or data behind a slow
// handler or a busy program stops the reading instead of growing without
// bound.  Sending a message goes straight to the socket, ahead of buffered
// expression data.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

#include "link.hpp"

namespace adckit::link::detail {
namespace {

using wire::Kind;
using wire::Token;

// The delivery thread stops reading once this much decoded data waits for
// the program, so a peer cannot make it grow without bound; messages behind
// that data wait too.
constexpr std::size_t kMaxQueued = std::size_t{32} << 20;
// Messages the program's thread has decoded but the handler has not seen
// yet.  Past this it stops reading until the delivery thread catches up, so
// a flood of messages behind a slow handler cannot grow without bound.
constexpr std::size_t kMaxPendingMessages = 4096;
// How long the program's thread may stay away from the socket before the
// delivery thread watches it again.  Messages that come while the program
// computes reach the handler at most this much later; a program that comes
// back sooner reads them itself and hands them over.
constexpr std::chrono::microseconds kHandBackAfter{1000};

constexpr std::size_t tokenBytes(const Token& t) { return sizeof(Token) + t.text.size(); }

void markEnded(MLINK link, int why) {
  std::lock_guard lock(link->mutex);
  if (!link->ended) {
    link->ended = true;
    link->endError = why;
  }
  link->changed.notify_all();
}

// One read from the socket, decoded; the caller holds socketMutex.  Tokens go
// to the queue, each message to onMessage once the tokens before it are
// queued.  A blocking read waits for data; the other returns at once when
// there is none.  False when the link ended.
template <typename OnMessage>
bool readSome(MLINK link, bool blocking, OnMessage onMessage) {
  char chunk[16384];
  ssize_t n = ::recv(link->fd, chunk, sizeof chunk, blocking ? 0 : MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  if (n <= 0) {
    markEnded(link, Error::Dead);
    return false;
  }
  auto& decoder = link->decoder;
  decoder.feed(chunk, static_cast<std::size_t>(n));
  // Nobody waits on `changed` for tokens: the program's thread either reads
  // the socket itself or finds them queued when it gets the socket.
  auto& batch = link->batch;
  std::size_t batchBytes = 0;
  auto handOver = [&] {
    if (batch.empty()) return;
    {
      std::lock_guard lock(link->mutex);
      for (auto& t : batch) link->queue.push_back(std::move(t));
      link->queuedBytes += batchBytes;
    }
    batch.clear();
    batchBytes = 0;
  };
  Token token;
  adckit::link::wire::Message message;
  for (;;) {
    auto event = decoder.next(token, message);
    if (event == adckit::link::wire::Decoder::Event::NeedMore) break;
    if (event == adckit::link::wire::Decoder::Event::Error) {
      handOver();
      markEnded(link, Error::Malformed);
      return false;
    }
    if (event == adckit::link::wire::Decoder::Event::Message) {
      handOver();
      onMessage(message);
      continue;
    }
    batchBytes += tokenBytes(token);
    batch.push_back(std::move(token));
    token = Token{};
  }
  handOver();
  return true;
}

void callHandler(MLINK link, const adckit::link::wire::Message& m) {
  // Called without the link's locks but the socket's, so the handler may use
  // the calls that do not read (sending a message, for one).
  if (auto handler = link->handler.load()) handler(link, m.code, m.argument);
}

}  // namespace

// The delivery thread: watches the socket while the program does not, so
// messages reach the handler while it computes, and runs the handler for
// messages the program's thread decoded.
void deliver(MLINK link) {
  for (;;) {
    std::deque<adckit::link::wire::Message> pending;
    {
      std::unique_lock lock(link->mutex);
      link->watching = false;
      for (;;) {
        if (link->closing) return;
        if (!link->messages.empty()) break;
        if (link->ended) return;
        if (!link->reading && link->queuedBytes < kMaxQueued) {
          // The program's thread left the socket; take it back once it has
          // stayed away a while.  Timed, so leaving needs no wake-up.
          auto due = link->leftAt + kHandBackAfter;
          if (std::chrono::steady_clock::now() >= due) {
            link->watching = true;
            break;
          }
          link->changed.wait_until(lock, due);
          continue;
        }
        // Until the program's thread leaves (it wakes us, seeing `parked`),
        // the queue drains below its limit, or something else changes.
        link->parked = true;
        link->changed.wait(lock);
        link->parked = false;
      }
      if (!link->watching) {
        pending.swap(link->messages);
        link->messagesInHand = pending.size();
      }
    }
    if (!pending.empty()) {
      for (const auto& m : pending) callHandler(link, m);
      std::lock_guard lock(link->mutex);
      link->messagesInHand = 0;
      link->changed.notify_all();
      continue;
    }
    pollfd p[2] = {{link->fd, POLLIN, 0}, {link->wakeFd, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents != 0) {
      std::uint64_t count = 0;
      if (::read(link->wakeFd, &count, sizeof count) < 0) {
        // Nothing to do: a failed read only means another wake-up is due.
      }
    }
    if (p[0].revents == 0) continue;
    std::unique_lock socket(link->socketMutex, std::try_to_lock);
    if (!socket.owns_lock()) continue;  // the program's thread is reading
    readSome(link, false, [&](const adckit::link::wire::Message& m) { callHandler(link, m); });
  }
}

// While it waits, the program's thread reads the socket itself: handing
// every packet over from the delivery thread would cost two more thread
// switches per round trip.
Wait waitToken(MLINK link, int timeoutMs) {
  if (!flush(link)) return Wait::Failed;
  {
    std::lock_guard lock(link->mutex);
    if (!link->queue.empty()) return Wait::Ready;
    if (link->ended) {
      fail(link, link->endError);
      return Wait::Failed;
    }
    link->reading = true;
    // Called out of poll only if it is there: otherwise it is waiting and
    // sees `reading` before it would watch the socket again.
    if (link->watching) {
      std::uint64_t one = 1;
      if (::write(link->wakeFd, &one, sizeof one) < 0) {
        // The counter cannot overflow in practice; the delivery thread would
        // just stay in poll a little longer.
      }
    }
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  Wait result = Wait::TimedOut;
  {
    std::lock_guard socket(link->socketMutex);
    for (;;) {
      {
        std::unique_lock lock(link->mutex);
        if (!link->queue.empty()) {
          result = Wait::Ready;
          break;
        }
        if (link->ended) {
          result = Wait::Failed;
          break;
        }
        if (link->messages.size() >= kMaxPendingMessages) {
          link->changed.wait(lock, [&] { return link->messages.size() < kMaxPendingMessages || link->closing; });
          if (link->closing) break;
        }
      }
      // Without a time limit a blocking read does the waiting: one system
      // call instead of a poll and a read.  Closing the link shuts the socket
      // down, which ends that read too.
      bool blocking = timeoutMs < 0;
      if (!blocking) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{link->fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
          markEnded(link, Error::Dead);
          continue;
        }
        if (ready <= 0) continue;
      }
      readSome(link, blocking, [&](const adckit::link::wire::Message& m) {
        std::lock_guard lock(link->mutex);
        link->messages.push_back(m);
        link->changed.notify_all();
      });
    }
  }
  {
    // Messages that came before the data are handled before the program
    // sees the data (or the end of the link): a terminate message sent just
    // before closing must have set its flags when the read fails.
    std::unique_lock lock(link->mutex);
    link->changed.wait(lock, [&] { return (link->messages.empty() && link->messagesInHand == 0) || link->closing; });
    link->reading = false;
    link->leftAt = std::chrono::steady_clock::now();
    if (result == Wait::Failed) fail(link, link->endError);
    if (link->parked) link->changed.notify_all();
  }
  return result;
}

const Token* peek(MLINK link) {
  if (waitToken(link, -1) != Wait::Ready) return nullptr;
  std::lock_guard lock(link->mutex);
  return &link->queue.front();
}

bool take(MLINK link, Token& token) {
  if (waitToken(link, -1) != Wait::Ready) return false;
  std::lock_guard lock(link->mutex);
  token = std::move(link->queue.front());
  link->queue.pop_front();
  bool wasFull = link->queuedBytes >= kMaxQueued;
  link->queuedBytes -= tokenBytes(token);
  // Only the delivery thread, stopped at the limit, waits for room.
  if (wasFull && link->queuedBytes < kMaxQueued) link->changed.notify_all();
  return true;
}

void drop(MLINK link) {
  Token ignored;
  take(link, ignored);
}

}  // namespace adckit::link::detail

namespace adckit::link {

bool putMessage(MLINK link, int code, int argument) {
  if (link == nullptr || !detail::ensureConnected(link)) return false;
  std::string bytes;
  wire::putMessage(bytes, code, argument);
  std::lock_guard lock(link->writeMutex);
  return detail::sendAll(link->fd, bytes.data(), bytes.size()) ? true : detail::fail(link, Error::WriteFailed);
}

bool waitForInput(MLINK link, int timeoutMs) {
  if (link == nullptr || !detail::ensureConnected(link)) return false;
  return detail::waitToken(link, timeoutMs) == detail::Wait::Ready;
}

}  // namespace adckit::link

extern "C" {

int MLSetMessageHandler(MLINK link, MLMessageHandlerObject handler) {
  if (link == nullptr) return 0;
  link->handler.store(handler);
  return 1;
}

int MLSetYieldFunction(MLINK link, MLYieldFunctionObject yielder) {
  if (link == nullptr) return 0;
  link->yielder = yielder;
  return 1;
}

int MLWaitForLinkActivity(MLINK link) {
  using namespace adckit::link::detail;
  if (link == nullptr || !ensureConnected(link)) return 0;
  return waitToken(link, -1) == Wait::Ready ? MLWAITSUCCESS : 0;
}

}  // extern "C"
