// Expressions in memory and the names of packets: the values the C++
// interface of the library reads and writes whole, and the table that maps
// a packet's head to its code and back, shared by the get side (which
// reports the code of an arriving packet) and the peer program (which names
// the packets it sends).
#include <utility>

#include "link.hpp"

namespace adckit::link {

Expr Expr::makeInteger(std::int64_t value) {
  Expr e;
  e.kind = Expr::Kind::Integer;
  e.integer = value;
  return e;
}
Expr Expr::makeString(std::string text) {
  Expr e;
  e.kind = Expr::Kind::String;
  e.text = std::move(text);
  return e;
}
Expr Expr::makeSymbol(std::string name) {
  Expr e;
  e.kind = Expr::Kind::Symbol;
  e.text = std::move(name);
  return e;
}
Expr Expr::makeFunction(std::string head, std::vector<Expr> args) {
  Expr e;
  e.kind = Expr::Kind::Function;
  e.text = std::move(head);
  e.args = std::move(args);
  return e;
}

namespace {
struct PacketName {
  int code;
  std::string_view head;
};
constexpr PacketName kPackets[] = {
    {RETURNPKT, "ReturnPacket"},   {CALLPKT, "CallPacket"},         {SUSPENDPKT, "SuspendPacket"},
    {RESUMEPKT, "ResumePacket"},   {EVALUATEPKT, "EvaluatePacket"},
};
}  // namespace

int packetCode(std::string_view head) {
  for (const auto& p : kPackets) {
    if (p.head == head) return p.code;
  }
  return head.ends_with("Packet") ? UNKNOWNPKT : 0;
}

const char* packetHead(int code) {
  for (const auto& p : kPackets) {
    if (p.code == code) return p.head.data();
  }
  return nullptr;
}

}  // namespace adckit::link
