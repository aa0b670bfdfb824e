// Connection and transport: a link's life from the environment to the close,
// and the bytes on its socket.  Opening parses the arguments and makes the
// socket (open.cpp); this file greets the peer and starts the delivery
// thread once there is one, sends buffered output, records the first error
// a link meets and gives its text, and closes: shutting the socket down
// wakes whoever reads it, the delivery thread is joined, and an environment
// released early goes away with its last link.  Every call here may run on
// the program's thread; only sendAll is shared with the message sender.
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <thread>

#include "link.hpp"

namespace adckit::link {
namespace detail {

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

bool fail(MLINK link, int code) {
  if (link->error == 0) link->error = code;
  return false;
}

bool ensureConnected(MLINK link) {
  if (link->error != 0) return false;
  if (!link->listening) return true;
  int code = accept(link, -1);
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

bool connectWithin(MLINK link, int timeoutMs) {
  if (link == nullptr || link->error != 0) return false;
  if (!link->listening) return true;
  int code = detail::accept(link, timeoutMs);
  if (code == Error::TimedOut) return false;
  return code == Error::Ok ? true : detail::fail(link, code);
}

bool isConnected(MLINK link) { return link != nullptr && !link->listening; }

std::string linkName(MLINK link) { return link == nullptr ? std::string() : link->name; }

MLINK openLink(MLENV env, const std::vector<std::string>& args, int* error) {
  return detail::open(env, args, error);
}

}  // namespace adckit::link

namespace {

using adckit::link::Error;

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

using adckit::link::detail::ensureConnected;
using adckit::link::detail::flush;

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

int MLFlush(MLINK link) {
  if (link == nullptr) return 0;
  if (link->error == 0 && !link->listening) {
    // A peer that has gone fails an explicit flush at once, even with
    // nothing buffered: over TCP one more send would still succeed, and a
    // program that only writes (a long answer) asks this to learn it.
    std::lock_guard lock(link->mutex);
    if (link->ended && link->endError == Error::Dead) return adckit::link::detail::fail(link, Error::Dead) ? 1 : 0;
  }
  return flush(link) ? 1 : 0;
}

}  // extern "C"
