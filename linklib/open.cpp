// Opening links: options, names, sockets, and the shell-like split of a
// command line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <new>
#include <utility>

#include "link.hpp"

namespace adckit::link {

bool splitCommandLine(std::string_view line, std::vector<std::string>& words) {
  words.clear();
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\'') {
      std::size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) return false;
      word.append(line.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i >= line.size()) return false;
        if (line[i] == '"') break;
        // Inside double quotes a backslash escapes only what a shell lets it.
        if (line[i] == '\\' && i + 1 < line.size() && std::strchr("\"\\$`", line[i + 1]) != nullptr) ++i;
        word.push_back(line[i]);
      }
    } else if (c == '\\') {
      if (i + 1 >= line.size()) return false;
      word.push_back(line[++i]);
    } else {
      word.push_back(c);
    }
  }
  if (inWord) words.push_back(std::move(word));
  return true;
}

namespace detail {
namespace {

enum class Mode { Connect, Listen };
enum class Protocol { Unspecified, Tcp, Unix };

struct Options {
  std::string name;
  bool haveName = false;
  Mode mode = Mode::Connect;
  Protocol protocol = Protocol::Unspecified;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Options may come anywhere among the program's own arguments (the first of
// which is usually its name); only those starting with -link are ours.
int parse(const std::vector<std::string>& args, Options& o) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!(a.size() > 5 && equalsIgnoringCase(a.substr(0, 5), "-link"))) continue;
    if (i + 1 >= args.size()) return Error::BadOption;
    const std::string& value = args[++i];
    if (equalsIgnoringCase(a, "-linkname")) {
      if (value.empty()) return Error::NoName;
      o.name = value;
      o.haveName = true;
    } else if (equalsIgnoringCase(a, "-linkmode")) {
      if (equalsIgnoringCase(value, "listen")) {
        o.mode = Mode::Listen;
      } else if (equalsIgnoringCase(value, "connect")) {
        o.mode = Mode::Connect;
      } else {
        return Error::BadMode;
      }
    } else if (equalsIgnoringCase(a, "-linkprotocol")) {
      if (equalsIgnoringCase(value, "TCPIP") || equalsIgnoringCase(value, "TCP")) {
        o.protocol = Protocol::Tcp;
      } else if (equalsIgnoringCase(value, "Unix")) {
        o.protocol = Protocol::Unix;
      } else {
        return Error::BadProtocol;
      }
    } else {
      return Error::BadOption;
    }
  }
  if (!o.haveName) return Error::NoName;
  if (o.protocol == Protocol::Unspecified) {
    // A bare port (or PORT@HOST) means TCP, anything else a socket path.
    bool digits = !o.name.empty() && o.name[0] >= '0' && o.name[0] <= '9' && o.name.find('/') == std::string::npos;
    o.protocol = digits ? Protocol::Tcp : Protocol::Unix;
  }
  return Error::Ok;
}

int systemError(int e) {
  switch (e) {
    case ECONNREFUSED:
    case ENOENT:
    case ENOTSOCK:
      return Error::Refused;
    case EADDRINUSE:
      return Error::InUse;
    case EACCES:
    case EPERM:
    default:
      return Error::System;
  }
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

int openUnix(const Options& o, MLINK link) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (o.name.size() >= sizeof address.sun_path) return Error::BadLinkName;
  std::memcpy(address.sun_path, o.name.c_str(), o.name.size() + 1);
  Fd s{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (s.fd < 0) return Error::System;
  auto* sa = reinterpret_cast<sockaddr*>(&address);
  if (o.mode == Mode::Connect) {
    if (::connect(s.fd, sa, sizeof address) != 0) return systemError(errno);
    link->fd = s.release();
  } else {
    if (::bind(s.fd, sa, sizeof address) != 0) {
      if (errno != EADDRINUSE) return systemError(errno);
      // A socket left behind by a listener that died is reused; one that
      // still answers is in use.
      struct stat st {};
      if (::lstat(o.name.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return Error::InUse;
      Fd probe{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
      if (probe.fd < 0) return Error::System;
      if (::connect(probe.fd, sa, sizeof address) == 0 || errno != ECONNREFUSED) return Error::InUse;
      ::unlink(o.name.c_str());
      if (::bind(s.fd, sa, sizeof address) != 0) return systemError(errno);
    }
    link->socketPath = o.name;
    if (::listen(s.fd, 1) != 0) return Error::System;
    link->listenFd = s.release();
    link->listening = true;
  }
  link->name = o.name;
  return Error::Ok;
}

int openTcp(const Options& o, MLINK link) {
  std::string port = o.name;
  std::string host = "127.0.0.1";
  if (auto at = o.name.find('@'); at != std::string::npos) {
    port = o.name.substr(0, at);
    host = o.name.substr(at + 1);
    if (host.empty()) return Error::BadLinkName;
  }
  unsigned value = 0;
  auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535) {
    return Error::BadLinkName;
  }
  if (o.mode == Mode::Connect && value == 0) return Error::BadLinkName;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) return Error::NoHost;
  int result = Error::Refused;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    Fd s{::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol)};
    if (s.fd < 0) {
      result = Error::System;
      continue;
    }
    int one = 1;
    if (o.mode == Mode::Connect) {
      if (::connect(s.fd, a->ai_addr, a->ai_addrlen) != 0) {
        result = systemError(errno);
        continue;
      }
      // Calls and answers are small; waiting to fill a segment only adds
      // latency.
      ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      link->fd = s.release();
    } else {
      ::setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (::bind(s.fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(s.fd, 1) != 0) {
        result = systemError(errno);
        continue;
      }
      link->listenFd = s.release();
      link->listening = true;
    }
    result = Error::Ok;
    break;
  }
  ::freeaddrinfo(found);
  if (result != Error::Ok) return result;
  // Report the port actually bound, which matters after asking for port 0.
  sockaddr_storage local{};
  socklen_t size = sizeof local;
  int fd = link->listening ? link->listenFd : link->fd;
  char text[INET6_ADDRSTRLEN] = "";
  unsigned bound = value;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
    if (local.ss_family == AF_INET6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
      bound = ntohs(in6->sin6_port);
      ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    } else {
      auto* in4 = reinterpret_cast<sockaddr_in*>(&local);
      bound = ntohs(in4->sin_port);
      ::inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
    }
  }
  link->name = std::to_string(link->listening ? bound : value) + "@" + (link->listening ? std::string(text) : host);
  return Error::Ok;
}

}  // namespace

MLINK open(MLENV env, const std::vector<std::string>& args, int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  if (env == nullptr) {
    *error = Error::NullArgument;
    return nullptr;
  }
  Options o;
  *error = parse(args, o);
  if (*error != Error::Ok) return nullptr;
  auto* link = new (std::nothrow) MLink;
  if (link == nullptr) {
    *error = Error::System;
    return nullptr;
  }
  *error = o.protocol == Protocol::Unix ? openUnix(o, link) : openTcp(o, link);
  if (*error == Error::Ok && !link->listening && !start(link)) *error = Error::Dead;
  if (*error != Error::Ok) {
    if (link->fd >= 0) ::close(link->fd);
    if (link->listenFd >= 0) ::close(link->listenFd);
    if (!link->socketPath.empty()) ::unlink(link->socketPath.c_str());
    delete link;
    return nullptr;
  }
  link->env = env;
  ++env->refs;
  return link;
}

int accept(MLINK link, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    pollfd p{link->listenFd, POLLIN, 0};
    int ready = ::poll(&p, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Error::System;
    }
    if (ready == 0) return Error::TimedOut;
    int fd = ::accept4(link->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
      return Error::System;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on Unix sockets
    link->fd = fd;
    ::close(link->listenFd);
    link->listenFd = -1;
    // The name is free again once the one peer is in.
    if (!link->socketPath.empty()) {
      ::unlink(link->socketPath.c_str());
      link->socketPath.clear();
    }
    link->listening = false;
    return start(link) ? Error::Ok : Error::Dead;
  }
}

}  // namespace detail
}  // namespace adckit::link
