// How the peer tests start programs: through the cross emulator when there
// is one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The command that runs `program`: {emulator..., program}.
inline std::vector<std::string> command(const std::string& program) {
  std::vector<std::string> words;
  std::string_view emulator = EMULATOR;
  while (!emulator.empty()) {
    auto bar = emulator.find('|');
    words.emplace_back(emulator.substr(0, bar));
    emulator = bar == std::string_view::npos ? std::string_view() : emulator.substr(bar + 1);
  }
  words.push_back(program);
  return words;
}
