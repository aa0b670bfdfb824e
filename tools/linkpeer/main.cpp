// linkpeer: plays the computing kernel's side of a link.  The README says how to use it.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <thread>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "peer.hpp"
#include "text.hpp"

namespace {

using adckit::link::Expr;
using adckit::linkpeer::Answer;
using adckit::linkpeer::Peer;
using adckit::linkpeer::PeerError;

// Also the source of the manual page (help2man), so it is written as one.
constexpr const char* kUsage =
    "Usage: linkpeer [OPTIONS] -- PROGRAM [ARGS...]\n"
    "  or:  linkpeer [OPTIONS] --connect NAME\n"
    "  or:  linkpeer [OPTIONS] --listen NAME\n"
    "Play the computing kernel's side of a link: start PROGRAM and serve as its\n"
    "kernel, reach a program listening on NAME, or wait for a program to connect\n"
    "to NAME.  Print what the program announces, send it the calls and commands\n"
    "given with -e or typed on standard input, and print its answers.\n"
    "NAME is PORT or PORT@HOST (TCP) or a socket path (Unix).\n"
    "\n"
    "Options:\n"
    "  -e LINE          run LINE as if typed; repeatable; standard input is then not read\n"
    "  --protocol P     TCPIP or Unix for --connect / --listen (default: by the name)\n"
    "  --timeout SEC    give up waiting for the program after SEC seconds (default: no limit)\n"
    "  -q, --quiet      do not print the program's announcements\n"
    "  -h, --help       show this text\n"
    "  --version        show the version\n"
    "\n"
    "Lines: a call such as rfcomm[5], or one of these commands:\n"
    "  :send CALL           send a call without waiting for its answer\n"
    "  :await               wait for the oldest answer still due\n"
    "  :sleep MS            pause for MS milliseconds\n"
    "  :abort               send the abort message (:interrupt, :terminate likewise)\n"
    "  :message CODE [ARG]  send any message\n"
    "  :resume [EXPR]       send ResumePacket[EXPR] and print the program's refusal\n"
    "  :raw PACKET          send any expression as a packet\n"
    "  :defs                print the announcements again\n"
    "  :help                show this text\n"
    "  :quit                end the session\n"
    "\n"
    "Exit status:\n"
    "  0      every line ran and every call was answered\n"
    "  1      a line could not be run or a call was not answered\n"
    "  2      the program could not be started or reached, or a usage error\n"
    "  128+N  ended by signal N (SIGINT, SIGTERM, SIGHUP), after ending the program\n"
    "         it started and removing its temporary folder\n"
    "\n"
    "Examples:\n"
    "  linkpeer -e 'rfcomm[3]' -- rfcomm_server\n"
    "\n"
    "  linkpeer --connect 5000@board.local\n";

#ifndef ADCKIT_VERSION
#define ADCKIT_VERSION "unknown"
#endif

// How long a program started here may take to end after the signal that
// ends linkpeer, before it is killed.
constexpr int kSignalGraceMs = 2000;

struct Options {
  enum class Mode { Launch, Connect, Listen } mode = Mode::Launch;
  std::string name;
  std::string protocol;
  std::vector<std::string> program;
  std::vector<std::string> lines;
  bool haveLines = false;
  bool quiet = false;
  int timeoutMs = -1;
};

// Returns an error text, or nothing when the options are sound.
std::optional<std::string> parseOptions(int argc, char** argv, Options& o, bool& help, bool& version) {
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (a == "--") {
      for (++i; i < argc; ++i) o.program.emplace_back(argv[i]);
      break;
    }
    if (a == "-h" || a == "--help") {
      help = true;
      return std::nullopt;
    }
    if (a == "--version") {
      version = true;
      return std::nullopt;
    }
    if (a == "-q" || a == "--quiet") {
      o.quiet = true;
    } else if (a == "-e") {
      std::string line;
      if (!value(line)) return "-e needs a line";
      o.lines.push_back(line);
      o.haveLines = true;
    } else if (a == "--connect" || a == "--listen") {
      if (!value(o.name)) return std::string(a) + " needs a link name";
      o.mode = a == "--connect" ? Options::Mode::Connect : Options::Mode::Listen;
    } else if (a == "--protocol") {
      if (!value(o.protocol)) return "--protocol needs TCPIP or Unix";
    } else if (a == "--timeout") {
      std::string text;
      if (!value(text)) return "--timeout needs a number of seconds";
      double seconds = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
      if (ec != std::errc() || end != text.data() + text.size() || seconds < 0 || seconds > 86400) {
        return "--timeout needs a number of seconds from 0 to 86400, not " + text;
      }
      o.timeoutMs = static_cast<int>(seconds * 1000);
    } else {
      return "unknown option " + std::string(a) + " (a program to start goes after --)";
    }
  }
  if (o.mode == Options::Mode::Launch && o.program.empty()) return "name a program to start after --, or use --connect / --listen";
  if (o.mode != Options::Mode::Launch && !o.program.empty()) return "a program after -- cannot be combined with --connect / --listen";
  return std::nullopt;
}

class Session {
 public:
  explicit Session(Peer& peer) : peer_(peer) {}

  // Runs one line; false once the session is to end.
  bool run(std::string_view line) {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') return true;
    if (line.front() != ':') {
      if (auto e = parsed(line)) report(peer_.call(*e));
      return true;
    }
    std::string_view command = line.substr(0, line.find_first_of(" \t"));
    std::string_view rest = line.substr(command.size());
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (command == ":quit") return false;
    if (command == ":abort") {
      messageCommand(MLAbortMessage, 0);
    } else if (command == ":interrupt") {
      messageCommand(MLInterruptMessage, 0);
    } else if (command == ":terminate") {
      messageCommand(MLTerminateMessage, 0);
    } else if (command == ":message") {
      auto words = parsed(std::string("{") + std::string(rest) + "}");
      if (!words || words->args.empty() || words->args.size() > 2 ||
          words->args[0].kind != Expr::Kind::Integer ||
          (words->args.size() == 2 && words->args[1].kind != Expr::Kind::Integer)) {
        fault(":message needs a code and, if wanted, an argument, both integers");
      } else {
        messageCommand(static_cast<int>(words->args[0].integer),
                       words->args.size() == 2 ? static_cast<int>(words->args[1].integer) : 0);
      }
    } else if (command == ":send") {
      if (auto e = parsed(rest)) {
        std::string error;
        if (!peer_.send(*e, error)) fault(error);
      }
    } else if (command == ":await") {
      report(peer_.await());
    } else if (command == ":resume") {
      auto e = rest.empty() ? std::optional<Expr>(Expr::makeSymbol("Null")) : parsed(rest);
      if (e) report(peer_.resume(*e));
    } else if (command == ":raw") {
      if (auto e = parsed(rest)) {
        Answer a = peer_.sendPacket(*e);
        if (e->isFunction("CallPacket") || !a.received) report(a);
      }
    } else if (command == ":sleep") {
      auto ms = parsed(rest);
      if (!ms || ms->kind != Expr::Kind::Integer || ms->integer < 0 || ms->integer > 3600000) {
        fault(":sleep needs a number of milliseconds up to an hour");
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms->integer));
      }
    } else if (command == ":defs") {
      printDefinitions();
    } else if (command == ":help") {
      std::cout << kUsage;
    } else {
      fault("unknown command " + std::string(command) + " (try :help)");
    }
    return true;
  }

  void printDefinitions() {
    for (const auto& d : peer_.definitions()) {
      std::cout << adckit::linkpeer::print(Expr::makeFunction(
                       "DefineExternal", {Expr::makeString(d.pattern), Expr::makeString(d.arguments),
                                          Expr::makeInteger(d.index)}))
                << '\n';
    }
    std::cout << "End" << std::endl;
  }

  void finishPending() {
    while (peer_.pending() > 0) report(peer_.await());
  }

  bool allAnswered() const { return ok_; }

 private:
  std::optional<Expr> parsed(std::string_view text) {
    auto r = adckit::linkpeer::parse(text);
    if (!r.expr) fault("cannot read " + std::string(text) + ": " + r.error);
    return r.expr;
  }
  void report(const Answer& a) {
    if (a.received) {
      std::cout << adckit::linkpeer::print(a.value) << std::endl;
    } else {
      fault(a.error);
    }
  }
  void messageCommand(int code, int argument) {
    if (!peer_.message(code, argument)) fault("cannot send the message: the link is broken");
  }
  void fault(const std::string& why) {
    std::cerr << "linkpeer: " << why << std::endl;
    ok_ = false;
  }

  Peer& peer_;
  bool ok_ = true;
};

void announceListening(const std::string& name) { std::cerr << "linkpeer: listening on " << name << std::endl; }

// Held by whichever ends the process first: main returning, or the thread
// that ends it on a signal.
std::mutex ending;

// SIGINT, SIGTERM and SIGHUP end linkpeer as they end any program, so a
// shell sees 128 + N, but only once the program it started has ended and
// what it made in the file system is gone.  They are blocked in every
// thread (the link library's among them, started later) and taken by one
// thread of their own; a signal the shell has set to be ignored stays so.
void endOnSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&set, sig);
  }
  if (sigisemptyset(&set)) return;
  (void)pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    ending.lock();  // never given back: main must not exit meanwhile
    adckit::linkpeer::endAllPeers(sig, kSignalGraceMs);
    (void)std::signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    (void)pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    (void)std::raise(sig);
    _exit(128 + sig);  // not reached: the signal's default action ends the process
  }).detach();
}

int run(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) {
  endOnSignals();
  int status = run(argc, argv);
  ending.lock();
  return status;
}

namespace {

int run(int argc, char** argv) {
  Options o;
  bool help = false;
  bool version = false;
  if (auto error = parseOptions(argc, argv, o, help, version)) {
    std::cerr << "linkpeer: " << *error << '\n' << kUsage;
    return 2;
  }
  if (help) {
    std::cout << kUsage;
    return 0;
  }
  if (version) {
    std::cout << "linkpeer (adckit) " << ADCKIT_VERSION << '\n';
    return 0;
  }
  try {
    adckit::linkpeer::PeerOptions po;
    po.timeoutMs = o.timeoutMs;
    po.events = &std::cout;
    std::optional<Peer> peer;
    switch (o.mode) {
      case Options::Mode::Launch:
        peer.emplace(Peer::launch(o.program[0], {o.program.begin() + 1, o.program.end()}, po));
        break;
      case Options::Mode::Connect: peer.emplace(Peer::connect(o.name, o.protocol, po)); break;
      case Options::Mode::Listen: peer.emplace(Peer::listen(o.name, o.protocol, po, announceListening)); break;
    }
    peer->readDefinitions();
    Session session(*peer);
    if (!o.quiet) session.printDefinitions();
    bool going = true;
    if (o.haveLines) {
      for (const auto& line : o.lines) {
        if (!(going = session.run(line))) break;
      }
    } else {
      std::string line;
      while (going && std::getline(std::cin, line)) going = session.run(line);
    }
    session.finishPending();
    int status = peer->finish();
    if (status > 128) std::cerr << "linkpeer: the program was ended by signal " << status - 128 << std::endl;
    return session.allAnswered() ? 0 : 1;
  } catch (const PeerError& e) {
    std::cerr << "linkpeer: " << e.what() << std::endl;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "linkpeer: " << e.what() << std::endl;
    return 2;
  }
}

}  // namespace
