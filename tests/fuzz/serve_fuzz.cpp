// libFuzzer target over a whole serving run of a bridge: the input is what
// the far side of the link sends after its greeting, fed over a real socket
// into the stand-in link library and a serving run of the bridge linked in
// (rfbridge or adcbridge, with the sample function of serve_rfcomm.cpp or
// serve_adc.cpp).  Messages travel inside the stream as the wire carries
// them, so they arrive interleaved with packets.
//
// First input byte: bits 0-3 pick how many pieces of about equal size the
// stream is sent in (all at once for 0, so that records are split at
// varying places without a system call per byte), bits 4-5 the entry point
// (MLMainString, MLMain, MLMainArgv).  Every run must end (the far side
// closes its sending half once it has sent everything), and what the bridge
// sent back must be a well-formed stream that starts with its announcement.
#include <bridge.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <wire.hpp>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace wire = adckit::link::wire;

namespace {

struct Listener {
  std::string folder;
  std::string path;
  int fd = -1;

  Listener() {
    std::string pattern = (std::filesystem::temp_directory_path() / "adckit-serve-fuzz.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    folder = pattern;
    path = folder + "/link";
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path) std::abort();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) std::abort();
  }
  ~Listener() {
    ::close(fd);
    ::unlink(path.c_str());
    ::rmdir(folder.c_str());
  }
};

Listener& listener() {
  static Listener l;
  return l;
}

// The far side: sends the greeting and the input, closes its sending half,
// and reads everything the bridge sends until the bridge closes the link.
// One thread does both, so a run costs as few thread switches as it can.
void farSide(const std::uint8_t* data, std::size_t size, std::size_t pieces, std::string& received) {
  int fd = ::accept4(listener().fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) std::abort();
  std::string stream(wire::kGreeting);
  stream.append(reinterpret_cast<const char*>(data), size);
  const std::size_t piece = pieces == 0 ? stream.size() : std::max<std::size_t>(1, stream.size() / (pieces + 1));
  std::size_t at = 0;
  bool sending = true;
  char chunk[16384];
  for (;;) {
    pollfd p{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, -1) < 0) continue;
    if ((p.revents & POLLOUT) != 0 && sending) {
      std::size_t n = std::min(piece, stream.size() - at);
      ssize_t sent = ::send(fd, stream.data() + at, n, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) at += static_cast<std::size_t>(sent);
      // The bridge may close the link before it has read everything.
      if (sent < 0 && errno != EAGAIN && errno != EINTR) at = stream.size();
      if (at == stream.size()) {
        ::shutdown(fd, SHUT_WR);
        sending = false;
      }
    }
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) {
        received.append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        break;
      }
    }
  }
  ::close(fd);
}

// The bridge may send only well-formed records, starting with its greeting
// and the DefineExternal announcement.
void checkReceived(const std::string& received) {
  if (received.empty()) return;  // the bridge may fail before it greets
  wire::Decoder decoder;
  decoder.feed(received.data(), received.size());
  wire::Token token;
  wire::Message message;
  bool first = true;
  for (;;) {
    auto event = decoder.next(token, message);
    if (event == wire::Decoder::Event::NeedMore) break;
    if (event == wire::Decoder::Event::Error) {
      std::fprintf(stderr, "the bridge sent a malformed stream: %s\n", decoder.error().c_str());
      std::abort();
    }
    if (event == wire::Decoder::Event::Token && first) {
      if (token.kind != wire::Kind::Function || token.text != "DefineExternal" || token.count != 3) {
        std::fprintf(stderr, "the bridge did not start with its announcement\n");
        std::abort();
      }
      first = false;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t pieces = data[0] & 0x0f;
  const int entry = (data[0] >> 4) & 0x03;
  ++data;
  --size;

  std::string received;
  std::thread far(farSide, data, size, pieces, std::ref(received));
  std::string name = listener().path;
  char arg0[] = "serve_fuzz";
  char name_opt[] = "-linkname";
  char mode_opt[] = "-linkmode";
  char mode[] = "connect";
  char protocol_opt[] = "-linkprotocol";
  char protocol[] = "Unix";
  char* argv[] = {arg0, name_opt, name.data(), mode_opt, mode, protocol_opt, protocol, nullptr};
  std::string line = "-linkname '" + name + "' -linkmode connect -linkprotocol Unix";
  int result;
  switch (entry) {
    case 1: result = MLMain(7, argv); break;
    case 2: result = MLMainArgv(argv, argv + 7); break;
    default: result = MLMainString(line.data()); break;
  }
  far.join();
  if (result != 0 && result != 1) {
    std::fprintf(stderr, "the serving run returned %d\n", result);
    std::abort();
  }
  // A serving run leaves no link and no environment behind.
  if (stdenv != nullptr) std::abort();
  checkReceived(received);
  // The done flag lasts for the process; each input starts a fresh one.
  MLDone = 0;
  MLAbort = 0;
  stdlink = nullptr;
  return 0;
}
