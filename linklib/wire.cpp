#include "wire.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace adckit::link::wire {
namespace {

void putU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xffU));
}

void putI64(std::string& out, std::int64_t value) {
  auto bits = static_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xffU));
}

void putText(std::string& out, std::string_view text) {
  putU32(out, static_cast<std::uint32_t>(text.size()));
  out.append(text);
}

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '$' || c == '`'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool validSymbol(std::string_view name) {
  if (name.empty() || name.size() > kMaxSymbol || !isLetter(name.front())) return false;
  for (char c : name) {
    if (!isLetter(c) && !isDigit(c)) return false;
  }
  return true;
}

void putGreeting(std::string& out) { out.append(kGreeting); }

void putInteger(std::string& out, std::int64_t value) {
  out.push_back(static_cast<char>(Kind::Integer));
  putI64(out, value);
}

void putString(std::string& out, std::string_view text) {
  out.push_back(static_cast<char>(Kind::String));
  putText(out, text);
}

void putSymbol(std::string& out, std::string_view name) {
  out.push_back(static_cast<char>(Kind::Symbol));
  putText(out, name);
}

void putFunction(std::string& out, std::string_view head, std::uint32_t count) {
  out.push_back(static_cast<char>(Kind::Function));
  putU32(out, count);
  putText(out, head);
}

void putEnd(std::string& out) { out.push_back(static_cast<char>(Kind::End)); }

void putMessage(std::string& out, std::int32_t code, std::int32_t argument) {
  out.push_back('m');
  putU32(out, static_cast<std::uint32_t>(code));
  putU32(out, static_cast<std::uint32_t>(argument));
}

void putToken(std::string& out, const Token& token) {
  switch (token.kind) {
    case Kind::Integer: putInteger(out, token.integer); break;
    case Kind::String: putString(out, token.text); break;
    case Kind::Symbol: putSymbol(out, token.text); break;
    case Kind::Function: putFunction(out, token.text, token.count); break;
    case Kind::End: putEnd(out); break;
  }
}

void Decoder::feed(const void* data, std::size_t size) {
  if (failed_ || size == 0) return;
  // Drop what has been decoded before growing, so the buffer holds at most
  // one unfinished record plus the newest chunk.
  if (position_ > 0 && position_ >= buffer_.size() / 2) {
    buffer_.erase(0, position_);
    position_ = 0;
  }
  buffer_.append(static_cast<const char*>(data), size);
}

std::uint32_t Decoder::u32(std::size_t offset) const {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(buffer_[position_ + offset + static_cast<std::size_t>(i)]);
  }
  return value;
}

std::int64_t Decoder::i64(std::size_t offset) const {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(buffer_[position_ + offset + static_cast<std::size_t>(i)]);
  }
  return static_cast<std::int64_t>(value);
}

Decoder::Event Decoder::fail(std::string why) {
  failed_ = true;
  error_ = std::move(why);
  buffer_.clear();
  position_ = 0;
  return Event::Error;
}

// One whole expression (an atom or a function with no arguments) has
// arrived: it pays one argument of the function around it, which may in turn
// be complete.
Decoder::Event Decoder::completeOne() {
  while (!open_.empty()) {
    if (--open_.back() != 0) break;
    open_.pop_back();
  }
  return Event::Token;
}

Decoder::Event Decoder::next(Token& token, Message& message) {
  if (failed_) return Event::Error;
  if (!greeted_) {
    std::size_t n = std::min(buffered(), kGreeting.size());
    if (std::memcmp(buffer_.data() + position_, kGreeting.data(), n) != 0) {
      return fail("the other side does not speak this link protocol");
    }
    if (n < kGreeting.size()) return Event::NeedMore;
    position_ += kGreeting.size();
    greeted_ = true;
  }
  if (!have(1)) return Event::NeedMore;
  const char kind = buffer_[position_];
  switch (kind) {
    case 'i': {
      if (!have(9)) return Event::NeedMore;
      token.kind = Kind::Integer;
      token.integer = i64(1);
      token.count = 0;
      token.text.clear();
      position_ += 9;
      return completeOne();
    }
    case 's':
    case 'y': {
      if (!have(5)) return Event::NeedMore;
      const std::uint32_t size = u32(1);
      const bool symbol = kind == 'y';
      if (size > (symbol ? kMaxSymbol : kMaxString)) {
        return fail(symbol ? "a symbol name exceeds the length limit" : "a string exceeds the length limit");
      }
      if (!have(5 + std::size_t{size})) return Event::NeedMore;
      token.kind = symbol ? Kind::Symbol : Kind::String;
      token.integer = 0;
      token.count = 0;
      token.text.assign(buffer_, position_ + 5, size);
      if (symbol && !validSymbol(token.text)) return fail("a symbol name is empty or malformed");
      position_ += 5 + std::size_t{size};
      return completeOne();
    }
    case 'f': {
      if (!have(9)) return Event::NeedMore;
      const std::uint32_t count = u32(1);
      const std::uint32_t size = u32(5);
      if (count > kMaxArgs) return fail("a function has more arguments than the limit");
      if (size > kMaxSymbol) return fail("a head name exceeds the length limit");
      if (!have(9 + std::size_t{size})) return Event::NeedMore;
      token.kind = Kind::Function;
      token.integer = 0;
      token.count = count;
      token.text.assign(buffer_, position_ + 9, size);
      if (!validSymbol(token.text)) return fail("a head name is empty or malformed");
      position_ += 9 + std::size_t{size};
      if (count == 0) return completeOne();
      if (open_.size() >= kMaxDepth) return fail("expressions are nested deeper than the limit");
      open_.push_back(count);
      return Event::Token;
    }
    case 'e': {
      if (!open_.empty()) return fail("an end of packet arrived inside an unfinished expression");
      token.kind = Kind::End;
      token.integer = 0;
      token.count = 0;
      token.text.clear();
      position_ += 1;
      return Event::Token;
    }
    case 'm': {
      if (!have(9)) return Event::NeedMore;
      message.code = static_cast<std::int32_t>(u32(1));
      message.argument = static_cast<std::int32_t>(u32(5));
      position_ += 9;
      return Event::Message;
    }
    default:
      return fail("an unknown record kind arrived");
  }
}

}  // namespace adckit::link::wire
