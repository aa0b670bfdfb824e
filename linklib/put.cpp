// The put side: writing to the peer.  Every call appends records to the
// link's output buffer, which is sent when it grows large, on MLFlush and
// MLEndPacket, and before the program waits for input.  Names and lengths
// are checked before anything is written, and the arguments still owed by
// each open function are counted, so a packet is never ended half written
// nor nested deeper than the receiving side accepts; a refused write leaves
// a recoverable error and nothing on the wire.
#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "link.hpp"

namespace {

using adckit::link::Error;
using adckit::link::wire::Kind;
using adckit::link::wire::Token;
using namespace adckit::link::detail;

// Buffered output is sent once it grows past this, even without a flush.
constexpr std::size_t kFlushAt = std::size_t{64} << 10;

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

}  // namespace

namespace adckit::link {

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

}  // namespace adckit::link

extern "C" {

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
