#include "text.hpp"

#include <charconv>
#include <cstdio>

namespace adckit::linkpeer {
namespace {

// Deeper input than the link itself carries is refused, which also keeps the
// recursive descent off the end of the stack.
constexpr int kMaxDepth = 512;

bool symbolStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '$' || c == '`'; }
bool symbolPart(char c) { return symbolStart(c) || (c >= '0' && c <= '9'); }
bool digit(char c) { return c >= '0' && c <= '9'; }

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  ParseResult run() {
    ParseResult r;
    Expr e;
    if (expression(e, 0)) {
      blanks();
      if (at_ == text_.size()) {
        r.expr = std::move(e);
        return r;
      }
      error("unexpected text after the expression");
    }
    r.error = error_ + " at column " + std::to_string(errorAt_ + 1);
    return r;
  }

 private:
  bool error(std::string what) {
    if (error_.empty()) {
      error_ = std::move(what);
      errorAt_ = at_;
    }
    return false;
  }
  void blanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' || text_[at_] == '\n')) ++at_;
  }
  bool peek(char c) {
    blanks();
    return at_ < text_.size() && text_[at_] == c;
  }

  bool expression(Expr& out, int depth) {
    if (depth > kMaxDepth) return error("expression nested too deeply");
    blanks();
    if (at_ >= text_.size()) return error("expression expected");
    char c = text_[at_];
    if (c == '{') {
      ++at_;
      out = Expr::makeFunction("List");
      return arguments(out, '}', depth);
    }
    if (c == '"') return string(out);
    if (digit(c) || c == '-') return integer(out);
    if (!symbolStart(c)) return error(std::string("unexpected '") + c + "'");
    std::size_t start = at_;
    while (at_ < text_.size() && symbolPart(text_[at_])) ++at_;
    std::string name(text_.substr(start, at_ - start));
    if (peek('[')) {
      ++at_;
      out = Expr::makeFunction(std::move(name));
      return arguments(out, ']', depth);
    }
    out = Expr::makeSymbol(std::move(name));
    return true;
  }

  bool arguments(Expr& f, char close, int depth) {
    if (peek(close)) {
      ++at_;
      return true;
    }
    for (;;) {
      Expr arg;
      if (!expression(arg, depth + 1)) return false;
      f.args.push_back(std::move(arg));
      if (peek(',')) {
        ++at_;
        continue;
      }
      if (peek(close)) {
        ++at_;
        return true;
      }
      return error(std::string("',' or '") + close + "' expected");
    }
  }

  bool integer(Expr& out) {
    std::size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    if (at_ >= text_.size() || !digit(text_[at_])) return error("digit expected");
    while (at_ < text_.size() && digit(text_[at_])) ++at_;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text_.data() + start, text_.data() + at_, value);
    if (ec != std::errc() || end != text_.data() + at_) {
      at_ = start;
      return error("integer out of the 64-bit range");
    }
    if (at_ < text_.size() && (text_[at_] == '.' || symbolStart(text_[at_]))) {
      return error("only whole numbers are understood");
    }
    out = Expr::makeInteger(value);
    return true;
  }

  bool string(Expr& out) {
    std::string s;
    ++at_;
    for (;;) {
      if (at_ >= text_.size()) return error("unfinished string");
      char c = text_[at_++];
      if (c == '"') break;
      if (c != '\\') {
        s.push_back(c);
        continue;
      }
      if (at_ >= text_.size()) return error("unfinished string");
      char e = text_[at_++];
      switch (e) {
        case 'n': s.push_back('\n'); break;
        case 't': s.push_back('\t'); break;
        case 'r': s.push_back('\r'); break;
        case '\\': s.push_back('\\'); break;
        case '"': s.push_back('"'); break;
        default: {
          // \ooo: three octal digits, for the bytes print writes that way.
          if (at_ + 1 < text_.size() && e >= '0' && e <= '3' && text_[at_] >= '0' && text_[at_] <= '7' &&
              text_[at_ + 1] >= '0' && text_[at_ + 1] <= '7') {
            int v = (e - '0') * 64 + (text_[at_] - '0') * 8 + (text_[at_ + 1] - '0');
            s.push_back(static_cast<char>(v));
            at_ += 2;
            break;
          }
          --at_;
          return error("unknown escape in a string");
        }
      }
    }
    out = Expr::makeString(std::move(s));
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  std::string error_;
  std::size_t errorAt_ = 0;
};

void printTo(std::string& out, const Expr& e) {
  switch (e.kind) {
    case Expr::Kind::Integer: out += std::to_string(e.integer); return;
    case Expr::Kind::Symbol: out += e.text; return;
    case Expr::Kind::String:
      out.push_back('"');
      for (char c : e.text) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
          out.push_back('\\');
          out.push_back(c);
        } else if (c == '\n') {
          out += "\\n";
        } else if (c == '\t') {
          out += "\\t";
        } else if (c == '\r') {
          out += "\\r";
        } else if (u < 0x20 || u == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\%03o", u);
          out += buf;
        } else {
          out.push_back(c);
        }
      }
      out.push_back('"');
      return;
    case Expr::Kind::Function: {
      bool list = e.text == "List";
      if (!list) out += e.text;
      out.push_back(list ? '{' : '[');
      for (std::size_t i = 0; i < e.args.size(); ++i) {
        if (i > 0) out += ", ";
        printTo(out, e.args[i]);
      }
      out.push_back(list ? '}' : ']');
      return;
    }
  }
}

}  // namespace

ParseResult parse(std::string_view text) { return Parser(text).run(); }

std::string print(const Expr& expr) {
  std::string out;
  printTo(out, expr);
  return out;
}

std::optional<Pattern> parsePattern(std::string_view text) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  };
  text = trim(text);
  auto open = text.find('[');
  if (open == std::string_view::npos || open == 0 || text.back() != ']') return std::nullopt;
  Pattern p;
  p.head = std::string(text.substr(0, open));
  for (char c : p.head) {
    if (!symbolPart(c)) return std::nullopt;
  }
  if (!symbolStart(p.head.front())) return std::nullopt;
  std::string_view inside = trim(text.substr(open + 1, text.size() - open - 2));
  if (inside.empty()) return p;
  while (true) {
    auto comma = inside.find(',');
    std::string_view arg = trim(inside.substr(0, comma));
    auto blank = arg.find('_');
    if (blank == std::string_view::npos) return std::nullopt;
    std::string_view type = arg.substr(blank + 1);
    for (char c : type) {
      if (!symbolPart(c)) return std::nullopt;
    }
    p.types.emplace_back(type);
    if (comma == std::string_view::npos) break;
    inside.remove_prefix(comma + 1);
  }
  return p;
}

bool matches(const Pattern& pattern, const Expr& call) {
  if (!call.isFunction(pattern.head) || call.args.size() != pattern.types.size()) return false;
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    const std::string& type = pattern.types[i];
    const Expr& a = call.args[i];
    if (type == "Integer" && a.kind != Expr::Kind::Integer) return false;
    if (type == "String" && a.kind != Expr::Kind::String) return false;
    if (type == "Symbol" && a.kind != Expr::Kind::Symbol) return false;
    if (type == "List" && !a.isFunction("List")) return false;
  }
  return true;
}

}  // namespace adckit::linkpeer
