#include "peer.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <set>
#include <thread>
#include <utility>

extern char** environ;

namespace adckit::linkpeer {
namespace {

// Evaluation requests may nest (a served call evaluates, which calls again);
// beyond this the program is taken to be looping.
constexpr int kMaxNesting = 64;
constexpr std::size_t kMaxDefinitions = 4096;

std::vector<std::string> linkOptions(const std::string& name, const char* mode, const std::string& protocol) {
  std::vector<std::string> args{"-linkname", name, "-linkmode", mode};
  if (!protocol.empty()) {
    args.emplace_back("-linkprotocol");
    args.push_back(protocol);
  }
  return args;
}

std::string describeStatus(int status) {
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return "status 127: not found or not executable";
  if (WIFEXITED(status)) return "status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
  return "unknown status";
}

int exitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// What the peers of this process have started and made, for endAllPeers.
// Every wait for a launched program goes through it, so a program is never
// signalled after it was reaped, when its process id may be another's.
struct Leftovers {
  std::mutex mutex;
  std::set<pid_t> children;
  std::set<std::string> paths;  // folders and sockets to remove
  bool ending = false;
};

// Never destroyed: a thread ending the process on a signal may still use it
// while another thread returns from main.
Leftovers& leftovers() {
  static auto* all = new Leftovers;
  return *all;
}

// waitpid for a launched program; -1 once endAllPeers has reaped it.
pid_t reap(pid_t pid, int& status, int options) {
  std::lock_guard lock(leftovers().mutex);
  if (leftovers().children.count(pid) == 0) return -1;
  pid_t done = ::waitpid(pid, &status, options);
  if (done == pid) leftovers().children.erase(pid);
  return done;
}

void removePath(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void forget(const std::string& path, bool remove) {
  if (path.empty()) return;
  std::lock_guard lock(leftovers().mutex);
  if (leftovers().paths.erase(path) != 0 && remove) removePath(path);
}

}  // namespace

void endAllPeers(int signal, int graceMs) {
  Leftovers& all = leftovers();
  std::lock_guard lock(all.mutex);
  all.ending = true;
  for (pid_t pid : all.children) (void)::kill(pid, signal);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  while (!all.children.empty()) {
    for (auto it = all.children.begin(); it != all.children.end();) {
      int status = 0;
      pid_t done = ::waitpid(*it, &status, WNOHANG);
      it = done == 0 ? std::next(it) : all.children.erase(it);
    }
    if (all.children.empty()) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      for (pid_t pid : all.children) {
        (void)::kill(pid, SIGKILL);
        int status = 0;
        (void)::waitpid(pid, &status, 0);
      }
      all.children.clear();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (const auto& path : all.paths) removePath(path);
  all.paths.clear();
}

Peer::Peer(MLENV env, MLINK link, PeerOptions options) : env_(env), link_(link), options_(options) {}

Peer::Peer(Peer&& other) noexcept
    : env_(std::exchange(other.env_, nullptr)),
      link_(std::exchange(other.link_, nullptr)),
      options_(other.options_),
      child_(std::exchange(other.child_, -1)),
      tempDir_(std::move(other.tempDir_)),
      definitions_(std::move(other.definitions_)),
      evaluations_(std::move(other.evaluations_)),
      pending_(other.pending_),
      finished_(std::exchange(other.finished_, true)),
      status_(other.status_) {
  other.tempDir_.clear();
}

Peer::~Peer() { finish(); }

Peer Peer::launch(const std::string& program, const std::vector<std::string>& args, PeerOptions options) {
  MLENV env = MLInitialize(nullptr);
  if (env == nullptr) throw PeerError("cannot set up the link library");
  std::string dir = (std::filesystem::temp_directory_path() / "linkpeer-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) {
    MLDeinitialize(env);
    throw PeerError("cannot create a private temporary folder: " + std::string(std::strerror(errno)));
  }
  {
    std::lock_guard lock(leftovers().mutex);
    if (leftovers().ending) {
      removePath(dir);
      MLDeinitialize(env);
      throw PeerError("the process is ending");
    }
    leftovers().paths.insert(dir);
  }
  std::string path = dir + "/link";
  int error = 0;
  MLINK link = link::openLink(env, linkOptions(path, "listen", "Unix"), &error);
  if (link == nullptr) {
    forget(dir, true);
    std::string why = MLErrorString(env, error);
    MLDeinitialize(env);
    throw PeerError("cannot listen on " + path + ": " + why);
  }
  Peer peer(env, link, options);
  peer.tempDir_ = dir;

  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  for (auto& w : linkOptions(path, "connect", "Unix")) words.push_back(std::move(w));
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  // The program gets no standard input: it is the peer's, for its commands.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // A caller that waits for the ending signals on a thread of its own keeps
  // them blocked; the program must still die of them.
  sigset_t mask;
  (void)pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) (void)sigdelset(&mask, sig);
  posix_spawnattr_t attributes;
  (void)posix_spawnattr_init(&attributes);
  (void)posix_spawnattr_setsigmask(&attributes, &mask);
  (void)posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  int rc = 0;
  {
    // Started and recorded in one step, so endAllPeers never misses it.
    std::lock_guard lock(leftovers().mutex);
    rc = leftovers().ending ? ECANCELED
                            : posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    if (rc == 0) leftovers().children.insert(pid);
  }
  (void)posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw PeerError("cannot start " + program + ": " + std::strerror(rc));
  peer.child_ = pid;

  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (link::connectWithin(link, 50)) break;
    if (MLError(link) != 0) throw PeerError("cannot accept " + program + "'s connection: " + peer.linkError());
    int status = 0;
    if (reap(pid, status, WNOHANG) == pid) {
      peer.child_ = -1;
      throw PeerError(program + " ended (" + describeStatus(status) + ") before it opened the link");
    }
    if (options.timeoutMs >= 0 && std::chrono::steady_clock::now() - start > std::chrono::milliseconds(options.timeoutMs)) {
      throw PeerError(program + " did not open the link in time");
    }
  }
  return peer;
}

Peer Peer::connect(const std::string& name, const std::string& protocol, PeerOptions options) {
  MLENV env = MLInitialize(nullptr);
  if (env == nullptr) throw PeerError("cannot set up the link library");
  int error = 0;
  MLINK link = link::openLink(env, linkOptions(name, "connect", protocol), &error);
  if (link == nullptr) {
    std::string why = MLErrorString(env, error);
    MLDeinitialize(env);
    throw PeerError("cannot connect to " + name + ": " + why);
  }
  return Peer(env, link, options);
}

Peer Peer::listen(const std::string& name, const std::string& protocol, PeerOptions options,
                  void (*onListening)(const std::string&)) {
  MLENV env = MLInitialize(nullptr);
  if (env == nullptr) throw PeerError("cannot set up the link library");
  int error = 0;
  // A Unix socket stays in the file system until the program connects. Its
  // name is kept for endAllPeers before the socket is made, so that a
  // signal that comes as it is made still removes it; a name already taken
  // is not kept (making the socket then fails).
  std::string named;
  struct stat st {};
  if (::lstat(name.c_str(), &st) != 0 && errno == ENOENT) {
    named = name;
    std::lock_guard lock(leftovers().mutex);
    leftovers().paths.insert(named);
  }
  MLINK link = link::openLink(env, linkOptions(name, "listen", protocol), &error);
  if (link == nullptr) {
    forget(named, false);
    std::string why = MLErrorString(env, error);
    MLDeinitialize(env);
    throw PeerError("cannot listen on " + name + ": " + why);
  }
  Peer peer(env, link, options);
  std::string socket;
  if (::lstat(link::linkName(link).c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    socket = link::linkName(link);
    std::lock_guard lock(leftovers().mutex);
    leftovers().paths.insert(socket);
  }
  if (named != socket) forget(named, false);
  if (onListening != nullptr) onListening(link::linkName(link));
  bool connected = link::connectWithin(link, options.timeoutMs);
  forget(socket, false);  // the link library removed it, or closing will
  if (!connected) {
    throw PeerError(MLError(link) != 0 ? "no program connected: " + peer.linkError()
                                       : "no program connected in time");
  }
  return peer;
}

std::string Peer::linkError() const {
  int code = link_ == nullptr ? link::NotConnected : MLError(link_);
  return MLErrorString(env_, code);
}

std::string Peer::linkName() const { return link::linkName(link_); }

void Peer::event(const std::string& line) {
  if (options_.events != nullptr) *options_.events << "# " << line << std::endl;
}

const std::vector<Definition>& Peer::readDefinitions() {
  for (;;) {
    if (!link::waitForInput(link_, options_.timeoutMs)) {
      throw PeerError(MLError(link_) != 0 ? "the program's announcements broke off: " + linkError()
                                           : "the program announced nothing in time");
    }
    Expr e;
    if (!link::getExpr(link_, e)) throw PeerError("cannot read the program's announcements: " + linkError());
    if (e.isSymbol("End")) return definitions_;
    if (!e.isFunction("DefineExternal") || e.args.size() != 3 || e.args[0].kind != Expr::Kind::String ||
        e.args[1].kind != Expr::Kind::String || e.args[2].kind != Expr::Kind::Integer) {
      throw PeerError("the program announced " + print(e) + " where DefineExternal[pattern, arguments, index] or End belongs");
    }
    if (definitions_.size() >= kMaxDefinitions) throw PeerError("the program announces too many definitions");
    auto parsed = parsePattern(e.args[0].text);
    if (!parsed) throw PeerError("the program announced a pattern this peer cannot match: " + print(e.args[0]));
    definitions_.push_back(Definition{e.args[0].text, e.args[1].text, e.args[2].integer, std::move(*parsed)});
  }
}

const Definition* Peer::find(const Expr& call) const {
  for (const auto& d : definitions_) {
    if (matches(d.parsed, call)) return &d;
  }
  return nullptr;
}

Answer Peer::callIndex(std::int64_t index, std::vector<Expr> args) {
  Expr packet = Expr::makeFunction(
      "CallPacket", {Expr::makeInteger(index), Expr::makeFunction("List", std::move(args))});
  if (!link::putPacket(link_, packet)) return Answer{false, {}, "cannot send the call: " + linkError()};
  ++pending_;
  return await();
}

Answer Peer::call(const Expr& call) {
  std::string error;
  if (!send(call, error)) return Answer{false, {}, error};
  return await();
}

bool Peer::send(const Expr& call, std::string& error) {
  const Definition* d = find(call);
  if (d == nullptr) {
    error = "no announced pattern fits " + print(call);
    return false;
  }
  Expr packet = Expr::makeFunction(
      "CallPacket", {Expr::makeInteger(d->index), Expr::makeFunction("List", call.args)});
  if (!link::putPacket(link_, packet)) {
    error = "cannot send the call: " + linkError();
    return false;
  }
  ++pending_;
  return true;
}

Answer Peer::await() {
  if (pending_ == 0) return Answer{false, {}, "no call is waiting for an answer"};
  --pending_;
  return awaitAnswer(0);
}

Answer Peer::awaitAnswer(int depth) {
  if (depth > kMaxNesting) return Answer{false, {}, "the program's evaluation requests nest too deeply"};
  for (;;) {
    if (!link::waitForInput(link_, options_.timeoutMs)) {
      return Answer{false, {}, MLError(link_) != 0 ? "no answer: " + linkError() : "no answer in time"};
    }
    Expr packet;
    if (!link::getPacket(link_, packet)) return Answer{false, {}, "no answer: " + linkError()};
    if (packet.isFunction("ReturnPacket")) {
      Expr value = packet.args.size() == 1 ? std::move(packet.args[0]) : Expr::makeSymbol("Null");
      return Answer{true, std::move(value), {}};
    }
    if (packet.isFunction("EvaluatePacket")) {
      std::string error;
      if (!serveEvaluation(packet, depth, error)) return Answer{false, {}, error};
      continue;
    }
    event("unexpected packet: " + print(packet));
  }
}

bool Peer::serveEvaluation(const Expr& packet, int depth, std::string& error) {
  evaluations_.push_back(packet);
  const Expr* body = packet.args.size() == 1 ? &packet.args[0] : &packet;
  if (body->isFunction("ToExpression") && body->args.size() == 1 && body->args[0].kind == Expr::Kind::String) {
    auto parsed = parse(body->args[0].text);
    if (const Definition* d = parsed.expr ? find(*parsed.expr) : nullptr) {
      // The program asks for one of its own functions: call it back, so it
      // serves the call inside its own, and hand the result over.
      event("evaluate " + print(body->args[0]) + " (served as a call)");
      Expr call = Expr::makeFunction(
          "CallPacket", {Expr::makeInteger(d->index), Expr::makeFunction("List", parsed.expr->args)});
      if (!link::putPacket(link_, call)) {
        error = "cannot send the call: " + linkError();
        return false;
      }
      Answer inner = awaitAnswer(depth + 1);
      if (!inner.received) {
        error = inner.error;
        return false;
      }
      if (!link::putPacket(link_, Expr::makeFunction("ReturnPacket", {inner.value}))) {
        error = "cannot send the result: " + linkError();
        return false;
      }
      return true;
    }
    event("evaluate " + print(body->args[0]));
  } else {
    event("evaluate " + print(*body));
  }
  if (!link::putPacket(link_, Expr::makeFunction("ReturnPacket", {Expr::makeSymbol("Null")}))) {
    error = "cannot send the result: " + linkError();
    return false;
  }
  return true;
}

Answer Peer::sendPacket(const Expr& packet) {
  if (!link::putPacket(link_, packet)) return Answer{false, {}, "cannot send the packet: " + linkError()};
  if (!packet.isFunction("CallPacket")) return Answer{true, Expr::makeSymbol("Null"), {}};
  ++pending_;
  return await();
}

bool Peer::message(int code, int argument) { return link::putMessage(link_, code, argument); }

Answer Peer::resume(const Expr& contents) {
  if (!link::putPacket(link_, Expr::makeFunction("ResumePacket", {contents}))) {
    return Answer{false, {}, "cannot send the resume packet: " + linkError()};
  }
  for (;;) {
    if (!link::waitForInput(link_, options_.timeoutMs)) {
      return Answer{false, {}, MLError(link_) != 0 ? "no refusal: " + linkError() : "no refusal in time"};
    }
    Expr packet;
    if (!link::getPacket(link_, packet)) return Answer{false, {}, "no refusal: " + linkError()};
    if (packet.isFunction("EvaluatePacket")) {
      evaluations_.push_back(packet);
      // The program drops packets until it sees a suspension.
      if (!link::putPacket(link_, Expr::makeFunction("SuspendPacket", {Expr::makeSymbol("Null")}))) {
        return Answer{false, {}, "cannot send the suspend packet: " + linkError()};
      }
      return Answer{true, std::move(packet), {}};
    }
    event("unexpected packet: " + print(packet));
  }
}

int Peer::finish(int graceMs) {
  if (finished_) return status_;
  finished_ = true;
  if (link_ != nullptr) {
    // Like a kernel that uninstalls: say goodbye, then close, which ends a
    // program blocked waiting for the next packet.  A link never connected
    // gets no message (sending would wait for the connection).
    if (link::isConnected(link_)) link::putMessage(link_, MLTerminateMessage, 0);
    MLClose(link_);
    link_ = nullptr;
  }
  if (env_ != nullptr) {
    MLDeinitialize(env_);
    env_ = nullptr;
  }
  if (child_ > 0) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    pid_t done = 0;
    while ((done = reap(child_, status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
      event("the program did not end; killing it");
      std::lock_guard lock(leftovers().mutex);
      if (leftovers().children.erase(child_) != 0) {
        ::kill(child_, SIGKILL);
        done = ::waitpid(child_, &status, 0);
      }
    }
    status_ = done == child_ ? exitCode(status) : -1;
    child_ = -1;
  }
  forget(tempDir_, true);
  tempDir_.clear();
  return status_;
}

}  // namespace adckit::linkpeer
