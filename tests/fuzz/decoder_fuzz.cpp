// libFuzzer target over the link's wire decoder.  The first input byte picks
// how the rest is cut into chunks, so split records are exercised too.
// scripts/fuzz runs it; the kept inputs replay in every build's tests.
#include <wire.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace wire = adckit::link::wire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 17;
  ++data;
  --size;
  wire::Decoder decoder;
  // Most inputs would fail at the greeting; give half of them one for free.
  if (step % 2 == 0) decoder.feed(wire::kGreeting.data(), wire::kGreeting.size());
  wire::Token token;
  wire::Message message;
  bool failed = false;
  for (std::size_t at = 0; at < size && !failed; at += step) {
    decoder.feed(data + at, size - at < step ? size - at : step);
    for (;;) {
      auto event = decoder.next(token, message);
      if (event == wire::Decoder::Event::NeedMore) break;
      if (event == wire::Decoder::Event::Error) {
        failed = true;
        break;
      }
      if (event != wire::Decoder::Event::Token) continue;
      // What the decoder lets through must respect every bound.
      if (token.kind == wire::Kind::String && token.text.size() > wire::kMaxString) std::abort();
      if ((token.kind == wire::Kind::Symbol || token.kind == wire::Kind::Function) && !wire::validSymbol(token.text)) {
        std::abort();
      }
      if (token.kind == wire::Kind::Function && token.count > wire::kMaxArgs) std::abort();
    }
  }
  return 0;
}
