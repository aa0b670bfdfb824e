// libFuzzer target over the link-opening arguments: MLOpenString's split of
// a command line and its options, and MLOpenArgcArgv's vector.
//
// First input byte, modulo 3: 0 opens the rest as one command line (up to
// its first NUL), 1 as an argument vector of NUL-separated words, 2 does
// both with the same words (the line built by quoting each word) and wants
// the same result from each.  Every open must either give a link with a name
// or fail with a code that has a text of its own.
//
// The target opens real sockets, so it runs in a sandbox made by wrapping
// the socket calls at link time (-Wl,--wrap): socket paths only inside a
// private folder that is also the working folder, no connection to any port,
// listening only on the loopback address with a port of the system's choice,
// and no name lookups.  Whatever the input names, nothing outside the
// folder is touched and nothing leaves the machine.
#include <mathlink.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <linklib.hpp>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
int __real_connect(int, const sockaddr*, socklen_t);
int __real_bind(int, const sockaddr*, socklen_t);
int __real_getaddrinfo(const char*, const char*, const addrinfo*, addrinfo**);
int __real_unlink(const char*);
}

namespace {

struct Sandbox {
  std::string folder;
  Sandbox() {
    std::string pattern = (std::filesystem::temp_directory_path() / "adckit-open-fuzz.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr || ::chdir(pattern.c_str()) != 0) std::abort();
    folder = pattern;
  }
  ~Sandbox() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
};

Sandbox& sandbox() {
  static Sandbox s;
  return s;
}

// A path inside the sandbox: relative (the sandbox is the working folder)
// or under its absolute name, and never climbing out.
bool inside(std::string_view path) {
  if (path.empty() || path.find("..") != std::string_view::npos) return false;
  if (path[0] != '/') return true;
  const std::string& folder = sandbox().folder;
  return path.size() > folder.size() + 1 && path.substr(0, folder.size()) == folder && path[folder.size()] == '/';
}

bool insideUnix(const sockaddr* address, socklen_t size) {
  if (address->sa_family != AF_UNIX || size <= offsetof(sockaddr_un, sun_path)) return false;
  const auto* un = reinterpret_cast<const sockaddr_un*>(address);
  std::size_t length = strnlen(un->sun_path, size - offsetof(sockaddr_un, sun_path));
  return length > 0 && inside(std::string_view(un->sun_path, length));
}

bool loopbackAnyPort(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    return ntohl(in->sin_addr.s_addr) == INADDR_LOOPBACK && in->sin_port == 0;
  }
  if (address->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) && in6->sin6_port == 0;
  }
  return false;
}

}  // namespace

extern "C" {

int __wrap_connect(int fd, const sockaddr* address, socklen_t size) {
  if (insideUnix(address, size)) return __real_connect(fd, address, size);
  errno = address->sa_family == AF_UNIX ? ENOENT : ECONNREFUSED;
  return -1;
}

int __wrap_bind(int fd, const sockaddr* address, socklen_t size) {
  if (insideUnix(address, size) || loopbackAnyPort(address)) return __real_bind(fd, address, size);
  errno = EACCES;
  return -1;
}

int __wrap_getaddrinfo(const char* host, const char* service, const addrinfo* hints, addrinfo** found) {
  addrinfo numeric{};
  if (hints != nullptr) numeric = *hints;
  numeric.ai_flags |= AI_NUMERICHOST | AI_NUMERICSERV;
  return __real_getaddrinfo(host, service, &numeric, found);
}

int __wrap_unlink(const char* path) {
  if (path != nullptr && inside(path)) return __real_unlink(path);
  errno = EACCES;
  return -1;
}

}  // extern "C"

namespace {

MLENV env() {
  static MLENV e = MLInitialize(nullptr);
  return e;
}

// Opens and closes at once; returns the error code (0 for a link).
int tryOpen(MLINK link, int error) {
  const char* text = MLErrorString(env(), error);
  if (link == nullptr) {
    if (error == 0 || std::strcmp(text, "unknown link error code") == 0) {
      std::fprintf(stderr, "failed open reported code %d (%s)\n", error, text);
      std::abort();
    }
    return error;
  }
  if (error != 0 || adckit::link::linkName(link).empty() || MLError(link) != 0) {
    std::fprintf(stderr, "an opened link reports code %d or has no name\n", error);
    std::abort();
  }
  MLClose(link);
  return 0;
}

int openString(const std::string& line) {
  int error = -1;
  MLINK link = MLOpenString(env(), line.c_str(), &error);
  return tryOpen(link, error);
}

int openVector(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int error = -1;
  MLINK link = MLOpenArgcArgv(env(), static_cast<int>(words.size()), argv.data(), &error);
  return tryOpen(link, error);
}

// Single quotes keep everything but a single quote, which goes outside
// them behind a backslash.
std::string quoted(const std::string& word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  sandbox();
  const int how = data[0] % 3;
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if (how == 0) {
    openString(rest.substr(0, rest.find('\0')));
    return 0;
  }
  std::vector<std::string> words;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = rest.find('\0', start);
    words.push_back(rest.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  const int byVector = openVector(words);
  if (how == 2) {
    std::string line;
    for (const auto& w : words) {
      if (!line.empty()) line.push_back(' ');
      line.append(quoted(w));
    }
    const int byLine = openString(line);
    if (byLine != byVector) {
      std::fprintf(stderr, "the same words opened as a line gave %d, as a vector %d\n", byLine, byVector);
      std::abort();
    }
  }
  return 0;
}
