// The get side: reading what the peer sent.  The C calls walk the token
// queue that the delivery code fills (MLNextPacket reports a packet's code
// and leaves its contents unread, MLNewPacket drops what is left of it,
// MLGetInteger and MLTestHead take one token each after checking its kind),
// and the C++ calls read whole expressions and packets.  A token of the
// wrong kind is left in place and the link gets a recoverable error; a
// broken or ended stream gets one that MLClearError does not clear.
#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "link.hpp"

namespace {

using adckit::link::Error;
using adckit::link::wire::Kind;
using adckit::link::wire::Token;
using namespace adckit::link::detail;

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

}  // namespace

namespace adckit::link {

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

}  // namespace adckit::link

extern "C" {

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

}  // extern "C"
