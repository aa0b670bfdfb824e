// The kernel's side of a link, as a reusable class: start or reach a program
// that serves external functions, read what it announces, call it, send it
// messages and resume packets, and answer its own evaluation requests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include <linklib.hpp>

#include "text.hpp"

namespace adckit::linkpeer {

// Starting, connecting or reading the announcements failed.
class PeerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Definition {
  std::string pattern;    // as announced, e.g. "rfcomm[x_Integer]"
  std::string arguments;  // e.g. "{ x }"
  std::int64_t index = 0;
  Pattern parsed;
};

struct Answer {
  bool received = false;
  Expr value;         // the answer, when received
  std::string error;  // why not, otherwise
};

struct PeerOptions {
  // Longest wait for the program to connect, announce or answer; negative
  // waits without limit (a program that exits still ends the wait).
  int timeoutMs = -1;
  // Where the program's own evaluation requests and unexpected packets are
  // reported, one line each starting with "# "; null for nowhere.
  std::ostream* events = nullptr;
};

// For a program about to die of a signal: sends `signal` to every program a
// Peer launched that is still running, SIGKILL to any still there after
// graceMs, reaps them all and removes the temporary folders and listening
// sockets the peers made.  No Peer launches anything afterwards.  Safe to
// call on another thread while Peers are in use.
void endAllPeers(int signal, int graceMs);

class Peer {
 public:
  // Starts PROGRAM with ARGS and the link options appended; the link is a
  // Unix socket in a private temporary folder.
  static Peer launch(const std::string& program, const std::vector<std::string>& args, PeerOptions options = {});
  // Reaches a program that listens on NAME / waits for it to connect to
  // NAME.  protocol is "TCPIP", "Unix" or empty to decide by the name.
  static Peer connect(const std::string& name, const std::string& protocol, PeerOptions options = {});
  // Listens on NAME; onListening, if given, learns the name actually bound
  // before the wait for the program begins.
  static Peer listen(const std::string& name, const std::string& protocol, PeerOptions options = {},
                     void (*onListening)(const std::string& name) = nullptr);

  Peer(Peer&& other) noexcept;
  Peer& operator=(Peer&&) = delete;
  Peer(const Peer&) = delete;
  ~Peer();

  // Reads DefineExternal[pattern, arguments, index] expressions up to the
  // symbol End.  Throws PeerError on anything else.
  const std::vector<Definition>& readDefinitions();
  const std::vector<Definition>& definitions() const { return definitions_; }
  // The announced definition that a call fits, or null.
  const Definition* find(const Expr& call) const;

  // Sends the call as CallPacket[index, {args...}] and waits for the answer,
  // serving the program's evaluation requests meanwhile.
  Answer call(const Expr& call);
  Answer callIndex(std::int64_t index, std::vector<Expr> args);
  // The same in two halves, so messages can be sent while the program
  // computes: send returns at once, await waits for the oldest answer.
  bool send(const Expr& call, std::string& error);
  Answer await();
  int pending() const { return pending_; }

  // Sends any expression as a packet; when it is a CallPacket the answer is
  // awaited like that of a call.
  Answer sendPacket(const Expr& packet);
  bool message(int code, int argument = 0);
  // Sends ResumePacket[contents] and waits for the program's refusal (an
  // EvaluatePacket), which it answers with SuspendPacket[Null].  The
  // refusal is the answer's value.
  Answer resume(const Expr& contents);

  // Every evaluation request the program sent, as received.
  const std::vector<Expr>& evaluations() const { return evaluations_; }

  // Sends the terminate message and closes the link; for a launched program,
  // waits up to graceMs for it to exit (then kills it) and returns its exit
  // status (128 + signal when killed), else -1.  Called by the destructor.
  int finish(int graceMs = 5000);

  MLINK link() const { return link_; }
  std::string linkName() const;
  pid_t pid() const { return child_; }

 private:
  Peer(MLENV env, MLINK link, PeerOptions options);
  Answer awaitAnswer(int depth);
  bool serveEvaluation(const Expr& packet, int depth, std::string& error);
  void event(const std::string& line);
  std::string linkError() const;

  MLENV env_ = nullptr;
  MLINK link_ = nullptr;
  PeerOptions options_;
  pid_t child_ = -1;
  std::string tempDir_;
  std::vector<Definition> definitions_;
  std::vector<Expr> evaluations_;
  int pending_ = 0;
  bool finished_ = false;
  int status_ = -1;
};

}  // namespace adckit::linkpeer
