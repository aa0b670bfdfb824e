// The board's capture (VBOARD_CAPTURE) as others read it: sigrok-cli's
// VCD input and SPI decoder find in it the frames the chip exchanged, for
// a bit-banged conversion and for spidev messages in every mode, and the
// codes in them are the inputs that were set; a shell running separate
// processes, programs running at once and the size limit each leave one
// valid, time-ordered file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "run.h"
#include "support/process.hpp"

namespace {

using vboard_test::outcome;

// A capture as a reader of the format takes it: the names declared, and
// the changes after the definitions. `valid` is false for anything out of
// place: a time that does not grow, a change of an undeclared signal, a
// second header.
struct dump {
  bool valid = true;
  std::string why;
  std::map<std::string, std::string> ids;  // name -> identifier
  struct change {
    std::uint64_t t;
    std::string id;
    char value;
  };
  std::vector<change> changes;
  bool ended = false;  // a $dumpoff closes it
  int resumed = 0;     // $dumpon blocks: changes lost before each
  // The levels one signal took, in order.
  std::string levels(const std::string &name) const {
    std::string out;
    for (const auto &c : changes) {
      if (c.id == ids.at(name)) out += c.value;
    }
    return out;
  }
};

dump parse(const std::string &text) {
  dump d;
  auto fail = [&d](const std::string &why) {
    if (d.valid) d.why = why;
    d.valid = false;
  };
  std::istringstream in(text);
  std::string word;
  bool body = false, in_dumpoff = false, have_time = false;
  std::uint64_t t = 0;
  std::map<std::string, bool> known;
  while (in >> word) {
    if (!body) {
      if (word == "$var") {
        std::string type, width, id, name;
        in >> type >> width >> id >> name >> word;
        d.ids[name] = id;
        known[id] = true;
      } else if (word == "$enddefinitions") {
        in >> word;
        body = true;
      }
      continue;
    }
    if (word == "$enddefinitions" || word == "$var") fail("a second header");
    if (word == "$comment") {
      while (in >> word && word != "$end") {
      }
    } else if (word == "$dumpoff") {
      in_dumpoff = d.ended = true;
    } else if (word == "$dumpon") {
      d.ended = false;
      ++d.resumed;
    } else if (word == "$end") {
      in_dumpoff = false;
    } else if (word[0] == '#') {
      const std::uint64_t now = std::stoull(word.substr(1));
      if (have_time && now <= t) fail("time " + word + " after #" + std::to_string(t));
      t = now;
      have_time = true;
    } else if (word.size() >= 2 && (word[0] == '0' || word[0] == '1' || word[0] == 'x')) {
      const std::string id = word.substr(1);
      if (!known.count(id)) fail("undeclared " + word);
      if (!have_time) fail("a change before any time");
      if (!in_dumpoff) d.changes.push_back({t, id, word[0]});
    } else {
      fail("unexpected " + word);
    }
  }
  if (!body) fail("no header");
  return d;
}

// The words sigrok-cli's SPI decoder finds on one side (miso or mosi),
// with words of `bits` bits and the clock's polarity and phase given.
std::vector<unsigned> decode(const std::string &file, const char *side, int bits = 8,
                             int mode = 0) {
  const auto r = adckit::test::run(
      {.argv = {"sigrok-cli", "-I", "vcd:compress=2000", "-i", file, "-P",
                "spi:clk=CLK:mosi=DIN:miso=DOUT:cs=CS:wordsize=" + std::to_string(bits) +
                    ":cpol=" + std::to_string(mode >> 1) + ":cpha=" + std::to_string(mode & 1),
                "-A", std::string("spi=") + side + "-data"},
       .host = true});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<unsigned> words;
  for (const auto &line : adckit::test::lines(r.out)) {
    const auto colon = line.find(": ");
    if (colon != std::string::npos) words.push_back(std::stoul(line.substr(colon + 2), nullptr, 16));
  }
  return words;
}

// The codes of MCP3008 frames of three bytes, as adcread sends them.
std::vector<int> codes_of_frames(const std::vector<unsigned> &miso) {
  std::vector<int> codes;
  for (std::size_t i = 0; i + 3 <= miso.size(); i += 3)
    codes.push_back(static_cast<int>(((miso[i + 1] & 3U) << 8) | miso[i + 2]));
  return codes;
}

class Capture : public vboard_test::board_test {
 protected:
  std::string file() const { return dir / "capture.vcd"; }
  outcome on_board(const std::vector<std::string> &argv, std::map<std::string, std::string> more,
                   bool target = true) {
    more.emplace("VBOARD_CAPTURE", file());
    return vboard_test::run_on_board(argv, env(std::move(more)), target);
  }
  dump captured() const { return parse(vboard_test::read_file(file())); }
};

TEST_F(Capture, ABitBangedConversionDecodesToTheCodeSet) {
  const auto r = on_board({GPIOSAMPLER_PATH}, {{"VBOARD_CH0", "300"}, {"VBOARD_CH1", "77"}});
  EXPECT_EQ(r.status, 1) << r.err;
  const dump d = captured();
  ASSERT_TRUE(d.valid) << d.why;
  // The sampler's own names: the chip's wires by role, its indicator pin
  // by number, pulsed twice before the first conversion.
  for (const char *name : {"CLK", "DIN", "DOUT", "CS", "GPIO26"}) EXPECT_TRUE(d.ids.count(name));
  EXPECT_FALSE(d.ids.count("GPIO4"));
  EXPECT_EQ(d.levels("GPIO26").substr(0, 4), "0101");
  // Its frame is 17 clocks long: start, single, three select bits, the
  // sample clock, the null bit and ten bits of code.
  const auto miso = decode(file(), "miso", 17);
  ASSERT_EQ(miso.size(), 50U);
  for (unsigned w : miso) EXPECT_EQ(w & 0x3ffU, 300U);
  for (unsigned w : decode(file(), "mosi", 17)) EXPECT_EQ(w >> 12, 0x18U);  // start, single, ch0
}

TEST_F(Capture, SpidevMessagesDecodeToTheCodesSet) {
  const auto r = on_board({ADCREAD_PATH, "--channels", "4", "--scans", "2", "--interval", "0"},
                          {{"VBOARD_CH0", "100"},
                           {"VBOARD_CH1", "200"},
                           {"VBOARD_CH2", "1023"},
                           {"VBOARD_CH3", "0"}});
  EXPECT_EQ(r.status, 0) << r.err;
  const dump d = captured();
  ASSERT_TRUE(d.valid) << d.why;
  EXPECT_EQ(codes_of_frames(decode(file(), "miso")),
            (std::vector<int>{100, 200, 1023, 0, 100, 200, 1023, 0}));
  const auto mosi = decode(file(), "mosi");
  ASSERT_EQ(mosi.size(), 24U);
  for (std::size_t i = 0; i < 12; i += 3)
    EXPECT_EQ(mosi[i + 1], 0x80U | (i / 3) << 4) << "frame " << i / 3;
}

// A message of two records from Python in each SPI mode, chip select
// dropped between them (cs_change) and a delay after the first: the
// decoder set to the same mode reads what was sent, and in modes 0 and 3,
// which the chip follows, what it answered.
TEST_F(Capture, EachModeIsDrawnAsItsClockAndPhase) {
  if (!vboard_test::host_programs_usable()) GTEST_SKIP() << "python3 is native";
  const char *script =
      "import ctypes, fcntl, os, struct, sys\n"
      "fd = os.open('/dev/spidev0.0', os.O_RDWR)\n"
      "fcntl.ioctl(fd, 0x40016b01, bytes([int(sys.argv[1])]))\n"  // SPI_IOC_WR_MODE
      "tx = [ctypes.create_string_buffer(bytes([1, 0x80 | ch << 4, 0]), 3) for ch in (1, 2)]\n"
      "rx = [ctypes.create_string_buffer(3) for ch in (1, 2)]\n"
      "rec = lambda i, cs_change, delay: struct.pack('QQIIHBBBBBB', ctypes.addressof(tx[i]),\n"
      "    ctypes.addressof(rx[i]), 3, 500000, delay, 8, cs_change, 0, 0, 0, 0)\n"
      "fcntl.ioctl(fd, 0x40406b00, rec(0, 1, 20) + rec(1, 0, 0))\n"  // SPI_IOC_MESSAGE(2)
      "print(list(rx[0].raw + rx[1].raw))\n";
  for (int mode = 0; mode < 4; ++mode) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    std::remove(file().c_str());
    const auto r = on_board({"python3", "-c", script, std::to_string(mode)},
                            {{"VBOARD_CH1", "513"}, {"VBOARD_CH2", "42"}}, false);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(captured().valid) << captured().why;
    EXPECT_EQ(decode(file(), "mosi", 8, mode),
              (std::vector<unsigned>{1, 0x90, 0, 1, 0xa0, 0}));
    if (mode == 0 || mode == 3) {
      EXPECT_EQ(codes_of_frames(decode(file(), "miso", 8, mode)), (std::vector<int>{513, 42}));
    }
  }
}

// Every command its own process, one of them a spidev program, another
// the jumpered input, all started by `vboard run --capture` with a file
// named relative to a directory the shell leaves: one header, times that
// grow, every level in order.
TEST_F(Capture, AShellsSeparateProcessesGiveOneOrderedFile) {
  if (!vboard_test::host_programs_usable()) GTEST_SKIP() << "the shell is native";
  const std::string g = "/sys/class/gpio";
  const std::string commands =
      "cd / && echo 22 > " + g + "/export && echo 23 > " + g + "/export && echo out > " + g +
      "/gpio22/direction && for v in 1 0 1; do echo $v > " + g + "/gpio22/value; done && " +
      ADCREAD_PATH + " --channels 1 > /dev/null && cat " + g + "/gpio23/value && echo 0 > " + g +
      "/gpio22/value && echo 23 > " + g + "/unexport";
  const auto r = adckit::test::run(
      {.argv = {"sh", "-c",
                "cd " + dir.path() + " && " + VBOARD_LAUNCHER +
                    " run --capture capture.vcd VBOARD_CH0=640 -- sh -c '" + commands + "'"},
       .env = env(),
       .host = true});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1\n");
  const dump d = captured();
  ASSERT_TRUE(d.valid) << d.why;
  EXPECT_EQ(d.levels("GPIO22"), "01010");
  // The jumpered input follows, and is no line once unexported.
  EXPECT_EQ(d.levels("GPIO23"), "01010x");
  EXPECT_EQ(codes_of_frames(decode(file(), "miso")), (std::vector<int>{640}));
}

// Two programs at once, both writing the capture: nothing lost, nothing
// out of order.
TEST_F(Capture, ProgramsAtOnceAppendInTimeOrder) {
  if (!vboard_test::host_programs_usable()) GTEST_SKIP() << "the shell is native";
  const std::string v = "/sys/class/gpio/gpio22/value";
  const auto r = on_board(
      {"sh", "-c",
       std::string(ADCREAD_PATH) +
           " --channels 2 --scans 40 --interval 0 > /dev/null & echo 22 > /sys/class/gpio/export "
           "&& echo out > /sys/class/gpio/gpio22/direction && for i in 1 2 3 4 5 6 7 8 9 10; do "
           "echo 1 > " + v + "; echo 0 > " + v + "; done; wait"},
      {{"VBOARD_CH0", "5"}, {"VBOARD_CH1", "1000"}}, false);
  ASSERT_EQ(r.status, 0) << r.err;
  const dump d = captured();
  ASSERT_TRUE(d.valid) << d.why;
  std::string pulses;
  for (int i = 0; i < 10; ++i) pulses += "10";
  EXPECT_EQ(d.levels("GPIO22"), "0" + pulses);
  std::vector<int> expected;
  for (int i = 0; i < 40; ++i) expected.insert(expected.end(), {5, 1000});
  EXPECT_EQ(codes_of_frames(decode(file(), "miso")), expected);
}

// Another writer holding the capture (as one stopped in the middle of a
// write would): programs go on, what they change waits on the board, and
// the next writer puts it out in order; what did not fit in the wait is
// told, in the file and on standard error.
TEST_F(Capture, AWriterHeldUpBlocksNobodyAndWhatOverflowsIsTold) {
  const int held = open(file().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(held, 0);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_len = 1;
  auto hold = [&](short type) {
    lock.l_type = type;
    ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);
  };
  auto adcread = [&](const char *code, std::vector<std::string> more = {}) {
    std::vector<std::string> argv{ADCREAD_PATH, "--channels", "1"};
    argv.insert(argv.end(), more.begin(), more.end());
    return on_board(argv, {{"VBOARD_CH0", code}});
  };
  hold(F_WRLCK);
  EXPECT_EQ(adcread("11").status, 0);
  EXPECT_EQ(vboard_test::read_file(file()), "");
  hold(F_UNLCK);
  EXPECT_EQ(adcread("22").status, 0);
  ASSERT_TRUE(captured().valid) << captured().why;
  EXPECT_EQ(codes_of_frames(decode(file(), "miso")), (std::vector<int>{11, 22}));

  hold(F_WRLCK);
  EXPECT_EQ(adcread("44", {"--scans", "400", "--interval", "0"}).status, 0);
  hold(F_UNLCK);
  const auto r = adcread("33");
  EXPECT_NE(r.err.find("changes: more than 16384 changed before they were written out"),
            std::string::npos)
      << r.err;
  close(held);
  const dump d = captured();
  ASSERT_TRUE(d.valid) << d.why;
  EXPECT_EQ(d.resumed, 1);
  EXPECT_FALSE(d.ended);
  // Frames before the loss, and the last one after it (the one cut by the
  // loss leaves a word or two between).
  const auto miso = decode(file(), "miso");
  ASSERT_GT(miso.size(), 300U);
  const auto codes = codes_of_frames(miso);
  EXPECT_EQ(std::vector<int>(codes.begin() + 2, codes.begin() + 100), std::vector<int>(98, 44));
  EXPECT_EQ(codes_of_frames({miso.end() - 3, miso.end()}), (std::vector<int>{33}));
}

// The limit ends the dump properly, says so once for all the programs,
// and the file stays readable.
TEST_F(Capture, TheLimitEndsTheFileOnceAndKeepsItValid) {
  if (!vboard_test::host_programs_usable()) GTEST_SKIP() << "the shell is native";
  const std::string adcread =
      std::string(ADCREAD_PATH) + " --channels 1 --scans 80 --interval 0 > /dev/null";
  const auto r = on_board({"sh", "-c", adcread + " && " + adcread},
                          {{"VBOARD_CAPTURE_LIMIT", "20000"}, {"VBOARD_CH0", "333"}}, false);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = vboard_test::read_file(file());
  EXPECT_LE(text.size(), 20000U);
  EXPECT_GT(text.size(), 15000U);
  const dump d = captured();
  ASSERT_TRUE(d.valid) << d.why;
  EXPECT_TRUE(d.ended);
  EXPECT_EQ(text.find("$dumpoff"), text.rfind("$dumpoff"));
  const std::string told = "reached its limit of 20000 bytes";
  ASSERT_NE(r.err.find(told), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(told), r.err.rfind(told)) << r.err;
  // Whole frames only, all of them right.
  const auto codes = codes_of_frames(decode(file(), "miso"));
  EXPECT_GT(codes.size(), 10U);
  for (int c : codes) EXPECT_EQ(c, 333);

  const auto bad = on_board({"true"}, {{"VBOARD_CAPTURE_LIMIT", "100"}}, false);
  EXPECT_NE(bad.err.find("VBOARD_CAPTURE_LIMIT=100"), std::string::npos) << bad.err;
}

}  // namespace
