// Writes the seed inputs of the fuzz targets with the link's own encoder:
//   make_seeds FOLDER     (FOLDER/<target>/<seed> for every target)
// The seeds are kept under corpus/; run this again after the wire format
// or a target's input layout changes.
#include <wire.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace wire = adckit::link::wire;

namespace {

std::filesystem::path root;

void save(const std::string& target, const std::string& name, const std::string& bytes) {
  auto folder = root / target;
  std::filesystem::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary) << bytes;
}

// A call packet of installed function 0 with integer arguments.
std::string call(std::initializer_list<std::int64_t> args) {
  std::string s;
  wire::putFunction(s, "CallPacket", 2);
  wire::putInteger(s, 0);
  wire::putFunction(s, "List", static_cast<std::uint32_t>(args.size()));
  for (auto a : args) wire::putInteger(s, a);
  wire::putEnd(s);
  return s;
}

std::string returnPacket(std::int64_t value) {
  std::string s;
  wire::putFunction(s, "ReturnPacket", 1);
  wire::putInteger(s, value);
  wire::putEnd(s);
  return s;
}

std::string message(int code) {
  std::string s;
  wire::putMessage(s, code, 0);
  return s;
}

std::string resume() {
  std::string s;
  wire::putFunction(s, "ResumePacket", 1);
  wire::putSymbol(s, "link");
  wire::putEnd(s);
  wire::putFunction(s, "EvaluatePacket", 1);
  wire::putString(s, "ignored");
  wire::putEnd(s);
  wire::putFunction(s, "SuspendPacket", 0);
  wire::putEnd(s);
  return s;
}

// Serving-path inputs: one option byte (piece size, entry point), then the
// stream after the greeting.
void serving(const std::string& target, bool adc) {
  auto one = [&](std::int64_t x) { return adc ? call({x, 1}) : call({x}); };
  auto nesting = [&] { return adc ? call({2, 3}) : call({13}); };
  save(target, "one-call", std::string(1, '\x00') + one(5));
  save(target, "calls-in-pieces", std::string(1, '\x03') + one(1) + one(2) + one(3));
  save(target, "abort-between", std::string(1, '\x10') + one(4) + message(3) + one(5) + message(2));
  save(target, "terminate", std::string(1, '\x20') + one(6) + message(1) + one(7));
  save(target, "nested", std::string(1, '\x00') + nesting() + one(8) + returnPacket(0) + one(9));
  save(target, "resume", std::string(1, '\x05') + resume() + one(10));
  save(target, "wrong-length", std::string(1, '\x00') + call({}) + call({1, 2, 3}) + one(11));
  std::string bad = one(12);
  bad.resize(bad.size() - 5);
  save(target, "cut-off", std::string(1, '\x01') + bad);
  std::string evaluate;
  wire::putFunction(evaluate, "EvaluatePacket", 1);
  wire::putString(evaluate, "1+1");
  wire::putEnd(evaluate);
  save(target, "other-packet", std::string(1, '\x00') + evaluate);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds FOLDER\n");
    return 2;
  }
  root = argv[1];

  std::string greeted;
  wire::putGreeting(greeted);
  save("decoder_fuzz", "call", std::string(1, '\x00') + greeted + call({5}));
  save("decoder_fuzz", "message", std::string(1, '\x01') + message(3) + call({1, 2}));
  std::string nested;
  wire::putFunction(nested, "f", 2);
  wire::putString(nested, "hello");
  wire::putFunction(nested, "g", 1);
  wire::putSymbol(nested, "End");
  wire::putEnd(nested);
  save("decoder_fuzz", "nested", std::string(1, '\x02') + greeted + nested);

  serving("serve_rfcomm_fuzz", false);
  serving("serve_adc_fuzz", true);

  auto nul = [](std::initializer_list<const char*> words) {
    std::string s;
    for (const char* w : words) s += std::string(w) + '\0';
    s.pop_back();
    return s;
  };
  save("open_fuzz", "line-unix-listen", std::string(1, '\x00') + "-linkname link -linkmode listen -linkprotocol Unix");
  save("open_fuzz", "line-quoted", std::string(1, '\x00') + "prog -linkname 'a b' \"-linkmode\" connect");
  save("open_fuzz", "line-tcp", std::string(1, '\x00') + "-linkname 0@127.0.0.1 -linkmode listen -linkprotocol TCPIP");
  save("open_fuzz", "line-unfinished", std::string(1, '\x00') + "-linkname 'oops");
  save("open_fuzz", "vector-listen", std::string(1, '\x01') + nul({"prog", "-linkname", "sock", "-linkmode", "listen"}));
  save("open_fuzz", "vector-connect", std::string(1, '\x01') + nul({"-LinkName", "5000", "-linkprotocol", "tcp"}));
  save("open_fuzz", "both-bad-mode", std::string(1, '\x02') + nul({"-linkname", "x y", "-linkmode", "both"}));
  save("open_fuzz", "both-listen", std::string(1, '\x02') + nul({"-linkname", "it's", "-linkmode", "listen"}));

  // The board: variables up to 0xff, then operations (see board_fuzz.cpp).
  auto bytes = [](std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s.push_back(static_cast<char>(b));
    return s;
  };
  auto u32 = [](std::uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    return s;
  };
  const int value17 = 80 + 2 * 17, direction17 = value17 + 1;
  // Export pin 17, make it an output, drive it high, read it back, unexport.
  save("board_fuzz", "export-and-drive",
       bytes({0xff, 0, 0, 0, 1, 1, 0, 2, '1', '7', 0, 1, direction17, 1, 1, 1, 3, 'o', 'u', 't', 0, 2, value17, 2, 1, 2,
              1, '1', 5, 2, 0, 2, 2, 8, 3, 0, 0, 0, 1, 1, 1, 0, 2, '1', '7'}));
  // Open the spidev device, set mode 0 and 8-bit words, send one message.
  std::string spi = bytes({0xff, 0, 0, 2, 2});
  spi += bytes({4, 0}) + u32(0x40016b01) + std::string(64, '\0');                      // mode
  spi += bytes({4, 0}) + u32(0x40016b03) + bytes({8}) + std::string(63, '\0');          // word size
  std::string record(32, '\0');
  record[0] = 1;   // transmit from the scratch area
  record[8] = 1;   // receive into it
  record[16] = 3;  // three bytes
  spi += bytes({4, 0}) + u32(0x40206b00) + record + std::string(32, '\0');  // one-record message
  save("board_fuzz", "spidev-message", spi);
  // A trace limit and a request fault from the environment, then requests.
  std::string fault = "/dev/spidev0.0:0x80046b04:EIO";
  save("board_fuzz", "variables",
       bytes({9, 1, '0', 15, static_cast<int>(fault.size())}) + fault +
           bytes({0xff, 0, 0, 2, 2, 4, 0}) + u32(0x80046b04) + std::string(64, '\0') + bytes({6, 0, 4, 1, 0, 1}));

  save("text_fuzz", "call", "rfcomm[5]");
  save("text_fuzz", "list", "{1, -2, \"a \\\"b\\\"\", $Failed, {}}");
  save("text_fuzz", "nested", "f[g[h[x]], Abort[]]");
  return 0;
}
