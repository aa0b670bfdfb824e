#include <wire.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wire = adckit::link::wire;
using Event = wire::Decoder::Event;

namespace {

struct Decoded {
  std::vector<wire::Token> tokens;
  std::vector<wire::Message> messages;
  bool failed = false;
  std::string error;
};

// Feeds the bytes in pieces of `step` and collects everything decoded.
Decoded decode(const std::string& bytes, std::size_t step = 1 << 20) {
  wire::Decoder d;
  Decoded out;
  for (std::size_t at = 0; at < bytes.size() && !out.failed; at += step) {
    d.feed(bytes.data() + at, std::min(step, bytes.size() - at));
    wire::Token t;
    wire::Message m;
    for (;;) {
      Event e = d.next(t, m);
      if (e == Event::NeedMore) break;
      if (e == Event::Error) {
        out.failed = true;
        out.error = d.error();
        break;
      }
      if (e == Event::Token) out.tokens.push_back(t);
      if (e == Event::Message) out.messages.push_back(m);
    }
  }
  return out;
}

std::string greeted() {
  std::string s;
  wire::putGreeting(s);
  return s;
}

void putU32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

}  // namespace

TEST(WireDecoder, EveryKindSurvivesARoundTripWhateverTheChunking) {
  std::string bytes = greeted();
  wire::putFunction(bytes, "CallPacket", 2);
  wire::putInteger(bytes, -9007199254740993LL);
  wire::putMessage(bytes, 3, -1);  // a message may come between tokens
  wire::putFunction(bytes, "List", 3);
  wire::putString(bytes, std::string("a\0\"b", 4));
  wire::putSymbol(bytes, "$Failed");
  wire::putFunction(bytes, "Abort", 0);
  wire::putEnd(bytes);
  for (std::size_t step : {std::size_t{1}, std::size_t{3}, std::size_t{7}, bytes.size()}) {
    Decoded d = decode(bytes, step);
    ASSERT_FALSE(d.failed) << d.error;
    ASSERT_EQ(d.tokens.size(), 7u);
    EXPECT_EQ(d.tokens[0].kind, wire::Kind::Function);
    EXPECT_EQ(d.tokens[0].text, "CallPacket");
    EXPECT_EQ(d.tokens[0].count, 2u);
    EXPECT_EQ(d.tokens[1].integer, -9007199254740993LL);
    EXPECT_EQ(d.tokens[3].text, std::string("a\0\"b", 4));
    EXPECT_EQ(d.tokens[4].kind, wire::Kind::Symbol);
    EXPECT_EQ(d.tokens[4].text, "$Failed");
    EXPECT_EQ(d.tokens[5].count, 0u);
    EXPECT_EQ(d.tokens[6].kind, wire::Kind::End);
    ASSERT_EQ(d.messages.size(), 1u);
    EXPECT_EQ(d.messages[0].code, 3);
    EXPECT_EQ(d.messages[0].argument, -1);
  }
}

TEST(WireDecoder, RejectsAStrangerThatDoesNotGreet) {
  Decoded d = decode("HTTP/1.1 200 OK\r\n");
  EXPECT_TRUE(d.failed);
  EXPECT_TRUE(d.tokens.empty());
}

TEST(WireDecoder, ChecksLengthsBeforeWaitingForTheBytes) {
  // Each announces more than the limit and sends nothing after: the decoder
  // must fail at once instead of waiting (or allocating) for the rest.
  std::string s = greeted() + "s";
  putU32(s, static_cast<std::uint32_t>(wire::kMaxString + 1));
  EXPECT_TRUE(decode(s).failed);

  std::string y = greeted() + "y";
  putU32(y, static_cast<std::uint32_t>(wire::kMaxSymbol + 1));
  EXPECT_TRUE(decode(y).failed);

  std::string f = greeted() + "f";
  putU32(f, wire::kMaxArgs + 1);
  putU32(f, 4);
  EXPECT_TRUE(decode(f).failed);

  std::string h = greeted() + "f";
  putU32(h, 1);
  putU32(h, 0xffffffffu);
  EXPECT_TRUE(decode(h).failed);
}

TEST(WireDecoder, AcceptsTheLimitsThemselves) {
  std::string bytes = greeted();
  wire::putString(bytes, std::string(wire::kMaxString, 'x'));
  wire::putSymbol(bytes, std::string(wire::kMaxSymbol, 'x'));
  for (std::size_t i = 0; i < wire::kMaxDepth; ++i) wire::putFunction(bytes, "f", 1);
  wire::putInteger(bytes, 1);
  wire::putEnd(bytes);
  Decoded d = decode(bytes, 4096);
  EXPECT_FALSE(d.failed) << d.error;
  EXPECT_EQ(d.tokens.size(), 2 + wire::kMaxDepth + 2);
}

TEST(WireDecoder, RefusesNestingBeyondTheLimit) {
  std::string bytes = greeted();
  for (std::size_t i = 0; i <= wire::kMaxDepth; ++i) wire::putFunction(bytes, "f", 1);
  Decoded d = decode(bytes);
  EXPECT_TRUE(d.failed);
  EXPECT_NE(d.error.find("nested"), std::string::npos);
}

TEST(WireDecoder, RefusesMalformedNamesKindsAndEndMarks) {
  for (const char* bad : {"", "1abc", "a b", "a-b", "x\xff"}) {
    std::string s = greeted();
    wire::putSymbol(s, bad);
    EXPECT_TRUE(decode(s).failed) << "symbol '" << bad << "'";
    std::string f = greeted();
    wire::putFunction(f, bad, 0);
    EXPECT_TRUE(decode(f).failed) << "head '" << bad << "'";
  }
  EXPECT_TRUE(decode(greeted() + "z").failed);

  std::string inside = greeted();
  wire::putFunction(inside, "List", 2);
  wire::putInteger(inside, 1);
  wire::putEnd(inside);
  Decoded d = decode(inside);
  EXPECT_TRUE(d.failed);
  EXPECT_EQ(d.tokens.size(), 2u);
}

TEST(WireDecoder, StaysFailedAndIgnoresLaterInput) {
  wire::Decoder d;
  std::string bad = greeted() + "?";
  d.feed(bad.data(), bad.size());
  wire::Token t;
  wire::Message m;
  EXPECT_EQ(d.next(t, m), Event::Error);
  std::string good;
  wire::putInteger(good, 1);
  d.feed(good.data(), good.size());
  EXPECT_EQ(d.next(t, m), Event::Error);
}

TEST(WireDecoder, WaitsForTruncatedRecordsWithoutInventingData) {
  std::string bytes = greeted();
  wire::putString(bytes, "hello");
  bytes.pop_back();
  Decoded d = decode(bytes);
  EXPECT_FALSE(d.failed);
  EXPECT_TRUE(d.tokens.empty());
}
