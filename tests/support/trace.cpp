#include "support/trace.hpp"

#include <charconv>
#include <fstream>
#include <sstream>

namespace adckit::test {
namespace {

// The text of `key=` up to the next space ("file" names hold none: the
// board escapes nothing there but quotes and control bytes).
std::optional<std::string_view> field(std::string_view line, std::string_view key) {
  const std::string needle = std::string(key) + "=";
  std::size_t at = line.rfind(needle, 0) == 0 ? 0 : line.find(" " + needle);
  if (at == std::string_view::npos) return std::nullopt;
  if (at != 0) ++at;
  const std::size_t start = at + needle.size();
  const std::size_t end = line.find(' ', start);
  return line.substr(start, end == std::string_view::npos ? line.size() - start : end - start);
}

template <typename T>
bool number(std::optional<std::string_view> text, T &out, int base = 10) {
  if (!text) return false;
  std::string_view s = *text;
  if (base == 16 && s.rfind("0x", 0) == 0) s.remove_prefix(2);
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
  return ec == std::errc{} && end == s.data() + s.size();
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The quoted data field, with the board's escapes (\n, \", \\, \xHH) undone.
std::optional<std::string> data_of(std::string_view line) {
  const std::size_t at = line.find(" data=\"");
  if (at == std::string_view::npos) return std::nullopt;
  std::string out;
  for (std::size_t i = at + 7; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') return out;
    if (c != '\\' || i + 1 >= line.size()) {
      out += c;
      continue;
    }
    const char e = line[++i];
    if (e == 'n') {
      out += '\n';
    } else if (e == 'x' && i + 2 < line.size() && hex_digit(line[i + 1]) >= 0 &&
               hex_digit(line[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(line[i + 1]) * 16 + hex_digit(line[i + 2]));
      i += 2;
    } else {
      out += e;
    }
  }
  return std::nullopt;  // no closing quote: a cut line
}

}  // namespace

std::optional<TraceEvent> parse_trace_line(std::string_view line) {
  TraceEvent e;
  const auto op = field(line, "op"), file = field(line, "file"), err = field(line, "err");
  auto data = data_of(line);
  if (!number(field(line, "seq"), e.seq) || !number(field(line, "t"), e.t) ||
      !number(field(line, "pid"), e.pid) || !op || !file ||
      !number(field(line, "req"), e.req, 16) || !number(field(line, "bytes"), e.bytes) ||
      !number(field(line, "res"), e.res) || !err || !data) {
    return std::nullopt;
  }
  e.op = *op;
  e.file = *file;
  e.err = *err;
  e.data = std::move(*data);
  return e;
}

std::vector<TraceEvent> parse_trace(const std::string &text) {
  std::vector<TraceEvent> events;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (auto e = parse_trace_line(line)) events.push_back(std::move(*e));
  }
  return events;
}

std::vector<TraceEvent> read_trace(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return parse_trace(text.str());
}

}  // namespace adckit::test
