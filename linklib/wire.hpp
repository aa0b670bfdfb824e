// The byte format of a link, shared by the sending and the receiving side.
//
// Each side starts with the four-byte greeting, then sends records.  A record
// is one kind byte and a fixed little-endian body:
//   'i' int64                     integer
//   's' u32 length, bytes         string
//   'y' u32 length, bytes         symbol
//   'f' u32 count, u32 length, bytes   function: head name and argument count;
//                                 the arguments follow as further records
//   'e'                           end of packet
//   'm' i32 code, i32 argument    message, outside the expression stream
// The decoder checks every length, count and nesting depth before it trusts
// it, so a hostile peer can at worst put the link into an error state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace adckit::link::wire {

inline constexpr std::string_view kGreeting = "adk\x01";
inline constexpr std::size_t kMaxString = std::size_t{1} << 20;  // bytes
inline constexpr std::size_t kMaxSymbol = 256;                    // bytes
inline constexpr std::uint32_t kMaxArgs = std::uint32_t{1} << 20;
inline constexpr std::size_t kMaxDepth = 512;

enum class Kind : std::uint8_t {
  Integer = 'i',
  String = 's',
  Symbol = 'y',
  Function = 'f',
  End = 'e',
};

struct Token {
  Kind kind = Kind::End;
  std::int64_t integer = 0;
  std::uint32_t count = 0;  // arguments of a function
  std::string text;         // string, symbol or head name
};

struct Message {
  std::int32_t code = 0;
  std::int32_t argument = 0;
};

// Symbols and heads: letters, digits, '$' and '`', not starting with a digit.
bool validSymbol(std::string_view name);

void putGreeting(std::string& out);
void putInteger(std::string& out, std::int64_t value);
void putString(std::string& out, std::string_view text);
void putSymbol(std::string& out, std::string_view name);
void putFunction(std::string& out, std::string_view head, std::uint32_t count);
void putEnd(std::string& out);
void putMessage(std::string& out, std::int32_t code, std::int32_t argument);
void putToken(std::string& out, const Token& token);

// Turns received bytes into tokens and messages.  Feed it whatever arrived,
// then pull events until it asks for more.  Once it reports Error it stays
// there: the stream cannot be resynchronised.
class Decoder {
 public:
  enum class Event { NeedMore, Token, Message, Error };

  void feed(const void* data, std::size_t size);
  Event next(Token& token, Message& message);

  const std::string& error() const { return error_; }
  // Bytes buffered but not yet decoded.
  std::size_t buffered() const { return buffer_.size() - position_; }

 private:
  Event fail(std::string why);
  bool have(std::size_t size) const { return buffered() >= size; }
  std::uint32_t u32(std::size_t offset) const;
  std::int64_t i64(std::size_t offset) const;
  Event completeOne();

  std::string buffer_;
  std::size_t position_ = 0;
  bool greeted_ = false;
  bool failed_ = false;
  std::string error_;
  // Arguments still owed by each function being received, innermost last.
  std::vector<std::uint32_t> open_;
};

}  // namespace adckit::link::wire
