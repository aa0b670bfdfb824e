// The link itself: the delivery thread, reading and writing expressions, and
// the C calls of <mathlink.h>.
#include "link.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

using adckit::link::Error;
using adckit::link::wire::Kind;
using adckit::link::wire::Token;

// The delivery thread stops reading once this much decoded data waits for
// the program, so a peer cannot make it grow without bound; messages behind
// that data wait too.
constexpr std::size_t kMaxQueued = std::size_t{32} << 20;
// Buffered output is sent once it grows past this, even without a flush.
constexpr std::size_t kFlushAt = std::size_t{64} << 10;
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

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

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

bool fail(MLINK link, int code) {
  if (link->error == 0) link->error = code;
  return false;
}

bool ensureConnected(MLINK link) {
  if (link->error != 0) return false;
  if (!link->listening) return true;
  int code = adckit::link::detail::accept(link, -1);
  return code == Error::Ok ? true : fail(link, code);
}

bool flush(MLINK link) {
  if (!ensureConnected(link)) return false;
  if (link->out.empty()) return true;
  std::lock_guard lock(link->writeMutex);
  bool sent = sendAll(link->fd, link->out.data(), link->out.size());
  link->out.clear();
  return sent ? true : fail(link, Error::WriteFailed);
}

bool afterPut(MLINK link) { return link->out.size() < kFlushAt || flush(link); }

// One whole expression was written: it pays an argument of the function
// around it, which may complete in turn.
void completeOut(MLINK link) {
  auto& open = link->outOpen;
  while (!open.empty()) {
    if (--open.back() != 0) break;
    open.pop_back();
  }
}

// Room for `depth` more levels of functions with arguments.
bool roomToNest(MLINK link, std::size_t depth) {
  return link->outOpen.size() + depth <= adckit::link::wire::kMaxDepth;
}

// Waits for the next token; flushes first so a peer waiting on our output
// cannot deadlock with us.  timeoutMs < 0: no limit.  While it waits, this
// thread reads the socket itself: handing every packet over from the
// delivery thread would cost two more thread switches per round trip.
enum class Wait { Ready, TimedOut, Failed };
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

// Reads the tokens of one whole expression; the decoder has already checked
// that the nesting is sound, so a counter is enough.
template <typename Each>
bool takeExpression(MLINK link, Each each) {
  std::uint64_t owed = 1;
  Token token;
  while (owed > 0) {
    if (!take(link, token)) return false;
    if (token.kind == Kind::End) return fail(link, Error::Sequence);
    --owed;
    if (token.kind == Kind::Function) owed += token.count;
    each(token);
  }
  return true;
}

// Drops the rest of the open packet, up to and including its end mark.
bool skipPacket(MLINK link) {
  Token token;
  while (take(link, token)) {
    if (token.kind == Kind::End) {
      link->inPacket = false;
      return true;
    }
  }
  return false;
}

bool recoverable(int code) {
  return code == Error::Sequence || code == Error::Overflow || code == Error::BadName || code == Error::Unfinished ||
         code == Error::NullArgument || code == Error::TimedOut;
}

struct ErrorText {
  int code;
  const char* text;
};
constexpr ErrorText kErrorTexts[] = {
    {Error::Ok, "no error"},
    {Error::Dead, "the other side closed the link or went away"},
    {Error::Malformed, "the incoming data is malformed or exceeds a limit of the link; the link cannot be used further"},
    {Error::Sequence, "the next expression on the link is not of the kind that was asked for"},
    {Error::Overflow, "the integer on the link does not fit the type that was asked for"},
    {Error::WriteFailed, "sending on the link failed; the other side is probably gone"},
    {Error::BadName, "a symbol or head name is empty, too long or not a valid name"},
    {Error::NullArgument, "a null pointer or a negative count was passed to a link call"},
    {Error::NotConnected, "the link is not connected"},
    {Error::Unfinished, "the packet was ended before its expression was complete: write every argument a function announced first"},
    {Error::BadOption, "unknown or incomplete link option; use -linkname NAME, -linkmode listen|connect, -linkprotocol TCPIP|Unix"},
    {Error::NoName, "no link name given; add -linkname NAME (a port, PORT@HOST, or a socket path)"},
    {Error::BadMode, "the link mode must be listen or connect (-linkmode listen|connect)"},
    {Error::BadProtocol, "the link protocol must be TCPIP or Unix (-linkprotocol TCPIP|Unix)"},
    {Error::BadLinkName, "the link name does not suit the protocol: TCPIP takes PORT or PORT@HOST, Unix a socket path of at most 107 bytes"},
    {Error::Refused, "nobody accepts connections on that link name; start the listening side first"},
    {Error::InUse, "the link name is already in use; choose another port or path"},
    {Error::NoHost, "the host in the link name cannot be resolved"},
    {Error::System, "a system call failed while opening the link (out of sockets or permission denied)"},
    {Error::Quote, "the link command line has an unfinished quote or a trailing backslash"},
    {Error::TimedOut, "the link timed out waiting for the other side"},
};

}  // namespace

namespace adckit::link {

Expr Expr::makeInteger(std::int64_t value) {
  Expr e;
  e.kind = Kind::Integer;
  e.integer = value;
  return e;
}
Expr Expr::makeString(std::string text) {
  Expr e;
  e.kind = Kind::String;
  e.text = std::move(text);
  return e;
}
Expr Expr::makeSymbol(std::string name) {
  Expr e;
  e.kind = Kind::Symbol;
  e.text = std::move(name);
  return e;
}
Expr Expr::makeFunction(std::string head, std::vector<Expr> args) {
  Expr e;
  e.kind = Kind::Function;
  e.text = std::move(head);
  e.args = std::move(args);
  return e;
}

namespace {
struct PacketName {
  int code;
  std::string_view head;
};
constexpr PacketName kPackets[] = {
    {RETURNPKT, "ReturnPacket"},   {CALLPKT, "CallPacket"},         {SUSPENDPKT, "SuspendPacket"},
    {RESUMEPKT, "ResumePacket"},   {EVALUATEPKT, "EvaluatePacket"},
};
}  // namespace

int packetCode(std::string_view head) {
  for (const auto& p : kPackets) {
    if (p.head == head) return p.code;
  }
  return head.ends_with("Packet") ? UNKNOWNPKT : 0;
}

const char* packetHead(int code) {
  for (const auto& p : kPackets) {
    if (p.code == code) return p.head.data();
  }
  return nullptr;
}

bool getExpr(MLINK link, Expr& out) {
  if (link == nullptr) return false;
  if (!ensureConnected(link)) return false;
  // Built iteratively: the nesting depth is bounded by the decoder, but a
  // stack of our own keeps deep expressions off the call stack.
  std::vector<Expr*> open;
  std::vector<std::uint32_t> owed;
  Expr root;
  bool first = true;
  bool ok = takeExpression(link, [&](Token& t) {
    Expr* slot;
    if (first) {
      slot = &root;
      first = false;
    } else {
      Expr* parent = open.back();
      parent->args.emplace_back();
      slot = &parent->args.back();
      if (--owed.back() == 0) {
        open.pop_back();
        owed.pop_back();
      }
    }
    switch (t.kind) {
      case Kind::Integer: *slot = Expr::makeInteger(t.integer); break;
      case Kind::String: *slot = Expr::makeString(std::move(t.text)); break;
      case Kind::Symbol: *slot = Expr::makeSymbol(std::move(t.text)); break;
      case Kind::Function:
        *slot = Expr::makeFunction(std::move(t.text));
        if (t.count > 0) {
          slot->args.reserve(std::min<std::uint32_t>(t.count, 1024));
          open.push_back(slot);
          owed.push_back(t.count);
        }
        break;
      case Kind::End: break;
    }
  });
  if (ok) out = std::move(root);
  return ok;
}

bool getPacket(MLINK link, Expr& packet) {
  if (link == nullptr) return false;
  for (;;) {
    const Token* next = peek(link);
    if (next == nullptr) return false;
    if (next->kind != Kind::End) break;
    drop(link);
  }
  Expr expr;
  if (!getExpr(link, expr)) return false;
  const Token* next = peek(link);
  if (next == nullptr) return false;
  if (next->kind != Kind::End) return fail(link, Error::Sequence);
  drop(link);
  link->inPacket = false;
  if (expr.kind == Expr::Kind::Function && packetCode(expr.text) != 0) {
    packet = std::move(expr);
  } else {
    packet = Expr::makeFunction("ReturnPacket", {std::move(expr)});
  }
  return true;
}

namespace {
bool getText(MLINK link, Kind kind, std::string& out) {
  if (link == nullptr || !ensureConnected(link)) return false;
  const Token* next = peek(link);
  if (next == nullptr) return false;
  if (next->kind != kind) return fail(link, Error::Sequence);
  Token t;
  take(link, t);
  out = std::move(t.text);
  return true;
}
}  // namespace

bool getString(MLINK link, std::string& out) { return getText(link, Kind::String, out); }
bool getSymbol(MLINK link, std::string& out) { return getText(link, Kind::Symbol, out); }

bool putExpr(MLINK link, const Expr& expr) {
  if (link == nullptr || !ensureConnected(link)) return false;
  // Checked whole before anything is written, so a bad name leaves no half
  // expression behind.
  std::vector<std::pair<const Expr*, std::size_t>> todo{{&expr, 0}};
  std::string bytes;
  while (!todo.empty()) {
    auto [e, depth] = todo.back();
    todo.pop_back();
    switch (e->kind) {
      case Expr::Kind::Integer: wire::putInteger(bytes, e->integer); break;
      case Expr::Kind::String:
        if (e->text.size() > wire::kMaxString) return fail(link, Error::Overflow);
        wire::putString(bytes, e->text);
        break;
      case Expr::Kind::Symbol:
        if (!wire::validSymbol(e->text)) return fail(link, Error::BadName);
        wire::putSymbol(bytes, e->text);
        break;
      case Expr::Kind::Function:
        if (!wire::validSymbol(e->text)) return fail(link, Error::BadName);
        if (e->args.size() > wire::kMaxArgs) return fail(link, Error::Overflow);
        if (!e->args.empty() && !roomToNest(link, depth + 1)) return fail(link, Error::Overflow);
        wire::putFunction(bytes, e->text, static_cast<std::uint32_t>(e->args.size()));
        for (auto it = e->args.rbegin(); it != e->args.rend(); ++it) todo.emplace_back(&*it, depth + 1);
        break;
    }
  }
  link->out += bytes;
  completeOut(link);
  return afterPut(link);
}

bool putPacket(MLINK link, const Expr& packet) {
  return putExpr(link, packet) && MLEndPacket(link) != 0;
}

bool putMessage(MLINK link, int code, int argument) {
  if (link == nullptr || !ensureConnected(link)) return false;
  std::string bytes;
  wire::putMessage(bytes, code, argument);
  std::lock_guard lock(link->writeMutex);
  return sendAll(link->fd, bytes.data(), bytes.size()) ? true : fail(link, Error::WriteFailed);
}

bool waitForInput(MLINK link, int timeoutMs) {
  if (link == nullptr || !ensureConnected(link)) return false;
  return waitToken(link, timeoutMs) == Wait::Ready;
}

bool connectWithin(MLINK link, int timeoutMs) {
  if (link == nullptr || link->error != 0) return false;
  if (!link->listening) return true;
  int code = detail::accept(link, timeoutMs);
  if (code == Error::TimedOut) return false;
  return code == Error::Ok ? true : fail(link, code);
}

bool isConnected(MLINK link) { return link != nullptr && !link->listening; }

std::string linkName(MLINK link) { return link == nullptr ? std::string() : link->name; }

MLINK openLink(MLENV env, const std::vector<std::string>& args, int* error) {
  return detail::open(env, args, error);
}

namespace detail {
bool start(MLINK link) {
  std::string greeting;
  wire::putGreeting(greeting);
  if (!sendAll(link->fd, greeting.data(), greeting.size())) return false;
  link->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (link->wakeFd < 0) return false;
  link->reader = std::thread(deliver, link);
  return true;
}
}  // namespace detail

}  // namespace adckit::link

using adckit::link::Expr;

extern "C" {

MLENV MLInitialize(MLEnvironmentParameter) { return new (std::nothrow) MLEnv; }

void MLDeinitialize(MLENV env) { release(env); }

MLINK MLOpenArgcArgv(MLENV env, int argc, char** argv, int* error) {
  std::vector<std::string> args;
  if (argc > 0 && argv == nullptr) {
    if (error != nullptr) *error = Error::NullArgument;
    return nullptr;
  }
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr) args.emplace_back(argv[i]);
  }
  return adckit::link::detail::open(env, args, error);
}

MLINK MLOpenString(MLENV env, const char* commandline, int* error) {
  std::vector<std::string> args;
  if (commandline == nullptr) {
    if (error != nullptr) *error = Error::NullArgument;
    return nullptr;
  }
  if (!adckit::link::splitCommandLine(commandline, args)) {
    if (error != nullptr) *error = Error::Quote;
    return nullptr;
  }
  return adckit::link::detail::open(env, args, error);
}

int MLConnect(MLINK link) {
  if (link == nullptr) return 0;
  return ensureConnected(link) ? 1 : 0;
}

void MLClose(MLINK link) {
  if (link == nullptr) return;
  if (link->error == 0 && !link->listening) flush(link);
  {
    std::lock_guard lock(link->mutex);
    link->closing = true;
    link->changed.notify_all();
  }
  if (link->fd >= 0) ::shutdown(link->fd, SHUT_RDWR);
  if (link->wakeFd >= 0) {
    std::uint64_t one = 1;
    if (::write(link->wakeFd, &one, sizeof one) < 0) {
      // shutdown above has already woken the delivery thread's poll.
    }
  }
  if (link->reader.joinable()) {
    // A handler that closes its own link cannot wait for itself; the link
    // is shut down but its memory stays, since the thread still uses it.
    if (link->reader.get_id() == std::this_thread::get_id()) {
      link->reader.detach();
      return;
    }
    link->reader.join();
  }
  if (link->fd >= 0) ::close(link->fd);
  if (link->listenFd >= 0) ::close(link->listenFd);
  if (link->wakeFd >= 0) ::close(link->wakeFd);
  if (!link->socketPath.empty()) ::unlink(link->socketPath.c_str());
  MLENV env = link->env;
  delete link;
  release(env);
}

const char* MLErrorString(MLENV, int error) {
  for (const auto& e : kErrorTexts) {
    if (e.code == error) return e.text;
  }
  return "unknown link error code";
}

int MLAlert(MLENV, const char* message) {
  if (message == nullptr) return 0;
  std::fprintf(stderr, "%s\n", message);
  std::fflush(stderr);
  return 1;
}

int MLError(MLINK link) { return link == nullptr ? Error::NullArgument : link->error; }

int MLClearError(MLINK link) {
  if (link == nullptr) return 0;
  if (link->error == 0) return 1;
  if (!recoverable(link->error)) return 0;
  link->error = 0;
  return 1;
}

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
  if (link == nullptr || !ensureConnected(link)) return 0;
  return waitToken(link, -1) == Wait::Ready ? MLWAITSUCCESS : 0;
}

int MLNextPacket(MLINK link) {
  if (link == nullptr || !ensureConnected(link)) return 0;
  if (link->inPacket && !skipPacket(link)) return 0;
  for (;;) {
    const Token* next = peek(link);
    if (next == nullptr) return 0;
    if (next->kind == Kind::End) {
      drop(link);  // a stray end mark carries nothing
      continue;
    }
    link->inPacket = true;
    if (next->kind == Kind::Function) {
      int code = adckit::link::packetCode(next->text);
      if (code != 0) {
        drop(link);  // the head; the contents stay unread
        return code;
      }
    }
    // An expression sent without a packet around it is an answer.
    return RETURNPKT;
  }
}

int MLNewPacket(MLINK link) {
  if (link == nullptr || link->error != 0) return 0;
  if (!link->inPacket) return 1;
  return skipPacket(link) ? 1 : 0;
}

int MLGetInteger(MLINK link, int* value) {
  if (link == nullptr) return 0;
  if (value == nullptr) return fail(link, Error::NullArgument);
  if (!ensureConnected(link)) return 0;
  const Token* next = peek(link);
  if (next == nullptr) return 0;
  if (next->kind != Kind::Integer) return fail(link, Error::Sequence);
  if (next->integer < INT_MIN || next->integer > INT_MAX) return fail(link, Error::Overflow);
  *value = static_cast<int>(next->integer);
  drop(link);
  return 1;
}

int MLTestHead(MLINK link, const char* head, int* count) {
  if (link == nullptr) return 0;
  if (head == nullptr || count == nullptr) return fail(link, Error::NullArgument);
  if (!ensureConnected(link)) return 0;
  const Token* next = peek(link);
  if (next == nullptr) return 0;
  if (next->kind != Kind::Function || next->text != head) return fail(link, Error::Sequence);
  *count = static_cast<int>(next->count);  // bounded by wire::kMaxArgs
  drop(link);
  return 1;
}

int MLPutFunction(MLINK link, const char* head, int count) {
  if (link == nullptr) return 0;
  if (head == nullptr || count < 0) return fail(link, Error::NullArgument);
  if (!adckit::link::wire::validSymbol(head)) return fail(link, Error::BadName);
  if (static_cast<unsigned>(count) > adckit::link::wire::kMaxArgs) return fail(link, Error::Overflow);
  if (!ensureConnected(link)) return 0;
  if (count > 0 && !roomToNest(link, 1)) return fail(link, Error::Overflow);
  adckit::link::wire::putFunction(link->out, head, static_cast<std::uint32_t>(count));
  if (count > 0) {
    link->outOpen.push_back(static_cast<std::uint32_t>(count));
  } else {
    completeOut(link);
  }
  return afterPut(link) ? 1 : 0;
}

int MLPutSymbol(MLINK link, const char* name) {
  if (link == nullptr) return 0;
  if (name == nullptr) return fail(link, Error::NullArgument);
  if (!adckit::link::wire::validSymbol(name)) return fail(link, Error::BadName);
  if (!ensureConnected(link)) return 0;
  adckit::link::wire::putSymbol(link->out, name);
  completeOut(link);
  return afterPut(link) ? 1 : 0;
}

int MLPutString(MLINK link, const char* text) {
  if (link == nullptr) return 0;
  if (text == nullptr) return fail(link, Error::NullArgument);
  std::string_view view(text);
  if (view.size() > adckit::link::wire::kMaxString) return fail(link, Error::Overflow);
  if (!ensureConnected(link)) return 0;
  adckit::link::wire::putString(link->out, view);
  completeOut(link);
  return afterPut(link) ? 1 : 0;
}

int MLPutInteger(MLINK link, int value) {
  if (link == nullptr || !ensureConnected(link)) return 0;
  adckit::link::wire::putInteger(link->out, value);
  completeOut(link);
  return afterPut(link) ? 1 : 0;
}

int MLEndPacket(MLINK link) {
  if (link == nullptr || !ensureConnected(link)) return 0;
  if (!link->outOpen.empty()) return fail(link, Error::Unfinished);
  adckit::link::wire::putEnd(link->out);
  return flush(link) ? 1 : 0;
}

int MLFlush(MLINK link) {
  if (link == nullptr) return 0;
  return flush(link) ? 1 : 0;
}

int MLTransferExpression(MLINK destination, MLINK source) {
  if (destination == nullptr || source == nullptr) return 0;
  if (!ensureConnected(destination) || !ensureConnected(source)) return 0;
  std::string bytes;
  std::vector<std::uint32_t> open;
  std::size_t deepest = 0;
  bool ok = takeExpression(source, [&](const Token& t) {
    adckit::link::wire::putToken(bytes, t);
    if (t.kind == Kind::Function && t.count > 0) {
      open.push_back(t.count);
      deepest = std::max(deepest, open.size());
      return;
    }
    while (!open.empty() && --open.back() == 0) open.pop_back();
  });
  if (!ok) return 0;
  // Copied into a deeper place, it might exceed what the peer accepts.
  if (!roomToNest(destination, deepest)) return fail(destination, Error::Overflow);
  destination->out += bytes;
  completeOut(destination);
  return afterPut(destination) ? 1 : 0;
}

}  // extern "C"
