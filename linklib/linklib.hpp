// The stand-in link library's own C++ interface, beyond the C calls of
// <mathlink.h>: whole expressions, messages, packets and names.  The peer
// program and the tests use it; bridge programs see only the C calls.
#pragma once

#include <mathlink.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace adckit::link {

// Error codes, as MLError and the open calls report them; MLErrorString
// gives the text.
enum Error : int {
  Ok = MLEOK,
  Dead = 1,        // the other side closed the link or went away
  Malformed = 2,   // the incoming stream broke the format or a limit
  Sequence = 3,    // the next expression is not of the kind asked for
  Overflow = 4,    // an integer does not fit the type asked for
  WriteFailed = 5, // sending failed
  BadName = 6,     // a symbol or head name that is no valid name
  NullArgument = 7,
  NotConnected = 8,
  Unfinished = 9,  // a packet ended before its expression was complete
  BadOption = 10,
  NoName = 11,
  BadMode = 12,
  BadProtocol = 13,
  BadLinkName = 14,
  Refused = 15,
  InUse = 16,
  NoHost = 17,
  System = 18,
  Quote = 19,
  TimedOut = 20,
};

// One expression in memory.
struct Expr {
  enum class Kind { Integer, String, Symbol, Function };
  Kind kind = Kind::Symbol;
  std::int64_t integer = 0;
  std::string text;  // string contents, symbol name, or head of a function
  std::vector<Expr> args;

  static Expr makeInteger(std::int64_t value);
  static Expr makeString(std::string text);
  static Expr makeSymbol(std::string name);
  static Expr makeFunction(std::string head, std::vector<Expr> args = {});

  bool isFunction(std::string_view head) const { return kind == Kind::Function && text == head; }
  bool isSymbol(std::string_view name) const { return kind == Kind::Symbol && text == name; }
  friend bool operator==(const Expr&, const Expr&) = default;
};

// Packet code of a head (UNKNOWNPKT for a head ending in "Packet" that this
// library does not know, 0 for a head that names no packet at all), and the
// head of a code (null for codes without one).
int packetCode(std::string_view head);
const char* packetHead(int code);

// Reads the next whole expression.  False on a link error (see MLError).
bool getExpr(MLINK link, Expr& out);
// Reads the next packet: skips stray end marks, reads one expression and the
// end mark after it.  An expression whose head is no packet name arrives
// wrapped in ReturnPacket[...], as MLNextPacket reports it.
bool getPacket(MLINK link, Expr& packet);
bool getString(MLINK link, std::string& out);
bool getSymbol(MLINK link, std::string& out);
// Writes a whole expression (no end mark).
bool putExpr(MLINK link, const Expr& expr);
// Writes a packet: the expression, then the end mark, then flushes.
bool putPacket(MLINK link, const Expr& packet);
// Sends a message at once, ahead of any expression still buffered.
bool putMessage(MLINK link, int code, int argument = 0);

// Waits for incoming expression data for at most timeoutMs (negative: no
// limit).  True when data is ready; false on a time-out (MLError stays 0) or a
// link error.
bool waitForInput(MLINK link, int timeoutMs);
// MLConnect with a time limit, for a listening link (negative: no limit).
// False on a time-out (MLError stays 0) or an error.
bool connectWithin(MLINK link, int timeoutMs);

// Whether the link has its peer (a listening link has none until it
// accepts); sending on a link without one waits for the connection.
bool isConnected(MLINK link);

// The link's name as a peer would use it: the socket path, or PORT@HOST with
// the port actually bound (useful after listening on port 0).
std::string linkName(MLINK link);

// Opens a link from a vector of arguments; null with *error set on failure.
MLINK openLink(MLENV env, const std::vector<std::string>& args, int* error);

// Splits a command line like a shell: blanks separate words, single quotes
// keep everything, double quotes keep everything but backslash escapes, a
// backslash outside quotes escapes the next character.  False on an
// unfinished quote or a trailing backslash.
bool splitCommandLine(std::string_view line, std::vector<std::string>& words);

}  // namespace adckit::link
