#include <text.hpp>

#include <gtest/gtest.h>

#include <string>

using adckit::link::Expr;
using adckit::linkpeer::matches;
using adckit::linkpeer::parse;
using adckit::linkpeer::parsePattern;
using adckit::linkpeer::print;

TEST(TextForm, PrintsWhatItParses) {
  for (const char* text : {"42", "-7", "0", "-9223372036854775808", "\"a \\\"b\\\" \\\\ \\n\\t\\r\"", "$Failed",
                           "Abort[]", "{1, 2, 3}", "{}", "f[g[1], {}, \"x\", Null]",
                           "EvaluatePacket[ToExpression[\"rfcomm[3]\"]]", "{{0, 512}, {1, 1023}}", "a`b$1"}) {
    auto r = parse(text);
    ASSERT_TRUE(r.expr) << text << ": " << r.error;
    EXPECT_EQ(print(*r.expr), text);
  }
}

TEST(TextForm, ReadsListsAsListCallsAndIgnoresBlanks) {
  auto r = parse("  SPIDevMcp3008 [ 8 ,\t100 ]  ");
  ASSERT_TRUE(r.expr) << r.error;
  EXPECT_EQ(*r.expr, Expr::makeFunction("SPIDevMcp3008", {Expr::makeInteger(8), Expr::makeInteger(100)}));
  r = parse("{-1, {}}");
  ASSERT_TRUE(r.expr);
  EXPECT_EQ(*r.expr, Expr::makeFunction("List", {Expr::makeInteger(-1), Expr::makeFunction("List")}));
}

TEST(TextForm, EveryByteOfAStringSurvivesPrintAndParse) {
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  std::string printed = print(Expr::makeString(all));
  for (char c : printed) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << "control bytes are escaped";
  auto r = parse(printed);
  ASSERT_TRUE(r.expr) << r.error;
  EXPECT_EQ(r.expr->text, all);
}

TEST(TextForm, ReportsWhatIsWrongAndWhere) {
  struct Case {
    const char* text;
    const char* error;
  };
  for (const Case& c : {Case{"rfcomm[5", "column 9"}, Case{"{1,,2}", "column 4"}, Case{"\"open", "unfinished string"},
                        Case{"1.5", "whole numbers"}, Case{"99999999999999999999", "64-bit"},
                        Case{"f[1] x", "after the expression"}, Case{"\"\\q\"", "escape"}, Case{"@", "unexpected '@'"},
                        Case{"", "expression expected"}, Case{"5x", "whole numbers"}, Case{"f[1 2]", "',' or ']'"}}) {
    auto r = parse(c.text);
    EXPECT_FALSE(r.expr) << c.text;
    EXPECT_NE(r.error.find(c.error), std::string::npos) << c.text << " gave: " << r.error;
  }
}

TEST(TextForm, RefusesDeepNestingWithoutExhaustingTheStack) {
  std::string deep(100000, '{');
  auto r = parse(deep);
  EXPECT_FALSE(r.expr);
  EXPECT_NE(r.error.find("deeply"), std::string::npos);
}

TEST(Patterns, ReadTheAnnouncedFormsAndMatchCalls) {
  auto adc = parsePattern("SPIDevMcp3008[nx_Integer,dt_Integer]");
  ASSERT_TRUE(adc);
  EXPECT_EQ(adc->head, "SPIDevMcp3008");
  EXPECT_EQ(adc->types, (std::vector<std::string>{"Integer", "Integer"}));
  auto call = [](const char* text) { return *parse(text).expr; };
  EXPECT_TRUE(matches(*adc, call("SPIDevMcp3008[8, 100]")));
  EXPECT_FALSE(matches(*adc, call("SPIDevMcp3008[8]")));
  EXPECT_FALSE(matches(*adc, call("SPIDevMcp3008[8, \"x\"]")));
  EXPECT_FALSE(matches(*adc, call("rfcomm[8, 1]")));

  auto any = parsePattern(" f[ x_ , s_String ] ");
  ASSERT_TRUE(any);
  EXPECT_TRUE(matches(*any, call("f[{1}, \"a\"]")));
  EXPECT_FALSE(matches(*any, call("f[1, 2]")));
  auto none = parsePattern("g[]");
  ASSERT_TRUE(none);
  EXPECT_TRUE(matches(*none, call("g[]")));

  for (const char* bad : {"f", "[x_]", "f[x]", "f[x_Integer", "1f[x_]", "f[x_Int-eger]", "f g[x_]"}) {
    EXPECT_FALSE(parsePattern(bad)) << bad;
  }
}
