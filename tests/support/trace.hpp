// The virtual board's trace lines (VBOARD_TRACE), read back as events, so
// that every suite asks the same questions of a trace the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace adckit::test {

// One line: seq=N t=NS pid=P op=OP file=F req=0xR bytes=B res=R err=E data="..."
struct TraceEvent {
  std::uint64_t seq = 0;
  std::uint64_t t = 0;  // board time, ns
  long pid = 0;
  std::string op;
  std::string file;
  unsigned long req = 0;
  std::uint64_t bytes = 0;
  long long res = 0;
  std::string err;   // "0" or the errno's name
  std::string data;  // unescaped
};

// The event of one line, or nothing when the line is not one.
std::optional<TraceEvent> parse_trace_line(std::string_view line);
// Every event of a trace's text, in order; lines that are not events are
// skipped.
std::vector<TraceEvent> parse_trace(const std::string &text);
// The events of the trace file at `path` (none when it cannot be read).
std::vector<TraceEvent> read_trace(const std::string &path);

}  // namespace adckit::test
