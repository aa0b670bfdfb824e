// The board's capture (VBOARD_CAPTURE) as others read it: sigrok-cli's
// VCD input and SPI decoder find in it the frames the chip exchanged, for
// a bit-banged conversion and spidev messages in every mode, with the
// codes that were set; a shell's separate processes, a writer held up and
// the size limit each leave one valid, time-ordered file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/board.hpp"
#include "support/process.hpp"

namespace {

using adckit::test::Outcome;

// A capture as a reader of the format takes it. `why` is empty for a valid
// one: one header, then times that only grow and changes of declared
// signals.
struct dump {
  std::string why;
  std::map<std::string, std::string> levels;  // name -> the levels it took, in order
  bool ended = false;                         // the last block is a $dumpoff
  int resumed = 0;                            // $dumpon blocks (changes lost before each)
};

dump parse(const std::string &text) {
  dump d;
  std::map<std::string, std::string> name_of;  // identifier -> name
  std::istringstream in(text);
  std::string w, type, width, id, name;
  bool body = false, off = false;
  long long t = -1;
  while (in >> w && d.why.empty()) {
    if (w == "$var" && !body && in >> type >> width >> id >> name >> w) {
      name_of[id] = name;
      d.levels[name];
    } else if (w == "$enddefinitions") {
      if (body) d.why = "a second header";
      body = static_cast<bool>(in >> w);
    } else if (!body || w == "$end") {
      off = false;
    } else if (w == "$dumpoff" || w == "$dumpon") {
      off = w == "$dumpoff";
      d.ended = off;
      d.resumed += !off;
    } else if (w[0] == '#') {
      if (std::stoll(w.substr(1)) <= t) d.why = w + " after #" + std::to_string(t);
      t = std::stoll(w.substr(1));
    } else if (t < 0 || w.size() < 2 || w.find_first_of("01x") != 0 ||
               !name_of.count(w.substr(1))) {
      d.why = "unexpected " + w;
    } else if (!off) {
      d.levels[name_of[w.substr(1)]] += w[0];
    }
  }
  if (!body && d.why.empty()) d.why = "no header";
  return d;
}

// The words sigrok-cli's SPI decoder finds on one side (miso or mosi).
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
  for (const auto &line : adckit::test::lines(r.out))
    words.push_back(std::stoul(line.substr(line.find(": ") + 2), nullptr, 16));
  return words;
}

// The codes in frames of three bytes, as adcread sends them.
std::vector<int> codes_of_frames(const std::vector<unsigned> &miso) {
  std::vector<int> codes;
  for (std::size_t i = 0; i + 3 <= miso.size(); i += 3)
    codes.push_back(static_cast<int>(((miso[i + 1] & 3U) << 8) | miso[i + 2]));
  return codes;
}

class Capture : public adckit::test::board::BoardTest {
 protected:
  std::string file() const { return dir / "capture.vcd"; }
  Outcome on_board(const std::vector<std::string> &argv, std::map<std::string, std::string> more,
                   bool target = true) {
    more.emplace("VBOARD_CAPTURE", file());
    return adckit::test::board::run_on_board(argv, env(std::move(more)), target);
  }
  dump captured() const { return parse(adckit::test::board::read_file(file())); }
};

TEST_F(Capture, ABitBangedConversionDecodesToTheCodeSet) {
  const auto r = on_board({GPIOSAMPLER_PATH}, {{"VBOARD_CH0", "300"}, {"VBOARD_CH1", "77"}});
  EXPECT_EQ(r.status, 1) << r.err;
  const dump d = captured();
  ASSERT_EQ(d.why, "");
  // The chip's wires by role, the indicator pin by number, pulsed twice
  // before the first conversion.
  EXPECT_FALSE(d.levels.count("GPIO4"));
  EXPECT_EQ(d.levels.at("GPIO26").substr(0, 4), "0101");
  // 17 clocks a frame: start, single, three select bits, the sample clock,
  // the null bit and ten bits of code.
  const auto miso = decode(file(), "miso", 17);
  ASSERT_EQ(miso.size(), 50U);
  for (unsigned w : miso) EXPECT_EQ(w & 0x3ffU, 300U);
  for (unsigned w : decode(file(), "mosi", 17)) EXPECT_EQ(w >> 12, 0x18U);  // start, single, ch0
}

// A message of two records in each SPI mode, chip select dropped between
// them (cs_change) and a delay after the first: the decoder in the same
// mode reads what was sent, and in modes 0 and 3, which the chip follows,
// the codes it answered.
TEST_F(Capture, EachModeIsDrawnAsItsClockAndPhase) {
  if (!adckit::test::host_programs_on_board()) GTEST_SKIP() << "python3 is native";
  const char *script =
      "import ctypes, fcntl, os, struct, sys\n"
      "fd = os.open('/dev/spidev0.0', os.O_RDWR)\n"
      "fcntl.ioctl(fd, 0x40016b01, bytes([int(sys.argv[1])]))\n"  // SPI_IOC_WR_MODE
      "tx = [ctypes.create_string_buffer(bytes([1, 0x80 | ch << 4, 0]), 3) for ch in (1, 2)]\n"
      "rx = [ctypes.create_string_buffer(3) for ch in (1, 2)]\n"
      "rec = lambda i, cs_change, delay: struct.pack('QQIIHBBBBBB', ctypes.addressof(tx[i]),\n"
      "    ctypes.addressof(rx[i]), 3, 500000, delay, 8, cs_change, 0, 0, 0, 0)\n"
      "fcntl.ioctl(fd, 0x40406b00, rec(0, 1, 20) + rec(1, 0, 0))\n";  // SPI_IOC_MESSAGE(2)
  for (int mode = 0; mode < 4; ++mode) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    std::remove(file().c_str());
    const auto r = on_board({"python3", "-c", script, std::to_string(mode)},
                            {{"VBOARD_CH1", "513"}, {"VBOARD_CH2", "42"}}, false);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(captured().why, "");
    EXPECT_EQ(decode(file(), "mosi", 8, mode), (std::vector<unsigned>{1, 0x90, 0, 1, 0xa0, 0}));
    if (mode == 0 || mode == 3) {
      EXPECT_EQ(codes_of_frames(decode(file(), "miso", 8, mode)), (std::vector<int>{513, 42}));
    }
  }
}

// Every command its own process (a spidev program, the jumpered input's
// reader), all started by `vboard run --capture` with a file named
// relative to a directory the shell leaves.
TEST_F(Capture, AShellsSeparateProcessesGiveOneOrderedFile) {
  if (!adckit::test::host_programs_on_board()) GTEST_SKIP() << "the shell is native";
  const std::string g = "/sys/class/gpio";
  const std::string commands =
      "cd / && echo 22 > " + g + "/export && echo 23 > " + g + "/export && echo out > " + g +
      "/gpio22/direction && for v in 1 0 1; do echo $v > " + g + "/gpio22/value; done && " +
      ADCREAD_PATH + " --channels 1 > /dev/null && cat " + g + "/gpio23/value && echo 0 > " + g +
      "/gpio22/value && echo 23 > " + g + "/unexport";
  const auto r = adckit::test::run(
      {.argv = {"sh", "-c",
                "cd " + dir.path().string() + " && " + VBOARD_LAUNCHER +
                    " run --capture capture.vcd VBOARD_CH0=640 -- sh -c '" + commands + "'"},
       .env = env(),
       .host = true});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1\n");
  const dump d = captured();
  ASSERT_EQ(d.why, "");
  EXPECT_EQ(d.levels.at("GPIO22"), "01010");
  EXPECT_EQ(d.levels.at("GPIO23"), "01010x");  // no line once unexported
  EXPECT_EQ(codes_of_frames(decode(file(), "miso")), (std::vector<int>{640}));
}

// As a logic analyzer on the board's pins, the capture sees what every
// program on the board does, not only those started to capture: a
// program started elsewhere toggles a line while a capturing one waits.
TEST_F(Capture, ProgramsThatDoNotCaptureAreSeenToo) {
  if (!adckit::test::host_programs_on_board()) GTEST_SKIP() << "the shell is native";
  const std::string g = "/sys/class/gpio", go = dir / "go";
  adckit::test::board::Running capturer(
      {"sh", "-c",
       "cat " + g + "/gpiochip0/base > /dev/null; while [ ! -e " + go +
           " ]; do sleep 0.01; done; cat " + g + "/gpio22/value"},
      env({{"VBOARD_CAPTURE", file()}}), false);
  for (int i = 0; i < 500 && adckit::test::board::read_file(file()).empty(); ++i) usleep(10000);
  const Outcome other =
      adckit::test::board::run_on_board({"sh", "-c",
                                         "echo 22 > " + g + "/export && echo out > " + g +
                                             "/gpio22/direction && for v in 1 0 1; do echo $v > " +
                                             g + "/gpio22/value; done && touch " + go},
                                        env(), false);
  ASSERT_EQ(other.status, 0) << other.err;
  const Outcome c = capturer.wait();
  ASSERT_EQ(c.status, 0) << c.err;
  EXPECT_EQ(c.out, "1\n");
  const dump d = captured();
  ASSERT_EQ(d.why, "");
  EXPECT_EQ(d.levels.at("GPIO22"), "0101");
}

// Another writer holding the capture (as one stopped in the middle of a
// write would): programs go on, what they change waits on the board, and
// the next writer puts it out in order; what did not fit in the wait is
// told, in the file and on standard error.
TEST_F(Capture, AWriterHeldUpBlocksNobodyAndWhatOverflowsIsTold) {
  const int held = open(file().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(held, 0);
  struct flock lock {};
  lock.l_len = 1;
  auto hold = [&](short type) {
    lock.l_type = type;
    ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);
  };
  auto adcread = [&](const char *ch0, std::vector<std::string> more) {
    std::vector<std::string> argv{ADCREAD_PATH, "--interval", "0"};
    argv.insert(argv.end(), more.begin(), more.end());
    return on_board(argv, {{"VBOARD_CH0", ch0}, {"VBOARD_CH1", "1023"}, {"VBOARD_CH2", "0"}});
  };
  hold(F_WRLCK);
  EXPECT_EQ(adcread("11", {"--channels", "3"}).status, 0);
  EXPECT_EQ(adckit::test::board::read_file(file()), "");
  hold(F_UNLCK);
  EXPECT_EQ(adcread("22", {"--channels", "1"}).status, 0);
  ASSERT_EQ(captured().why, "");
  EXPECT_EQ(codes_of_frames(decode(file(), "miso")), (std::vector<int>{11, 1023, 0, 22}));
  const auto mosi = decode(file(), "mosi");
  ASSERT_EQ(mosi.size(), 12U);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(mosi[3 * i + 1], 0x80U | (i % 3) << 4);

  hold(F_WRLCK);
  EXPECT_EQ(adcread("44", {"--channels", "1", "--scans", "400"}).status, 0);
  hold(F_UNLCK);
  const auto r = adcread("33", {"--channels", "1"});
  EXPECT_NE(r.err.find("changes: more than 16384 changed before they were written out"),
            std::string::npos)
      << r.err;
  close(held);
  const dump d = captured();
  ASSERT_EQ(d.why, "");
  EXPECT_EQ(d.resumed, 1);
  EXPECT_FALSE(d.ended);
  // Whole frames before the loss, and the last one after it.
  const auto miso = decode(file(), "miso");
  ASSERT_GT(miso.size(), 300U);
  const auto codes = codes_of_frames(miso);
  EXPECT_EQ(std::vector<int>(codes.begin() + 4, codes.begin() + 100), std::vector<int>(96, 44));
  EXPECT_EQ(codes_of_frames({miso.end() - 3, miso.end()}), (std::vector<int>{33}));
}

// The limit ends the dump properly, says so once for all the programs,
// and the file stays readable.
TEST_F(Capture, TheLimitEndsTheFileOnceAndKeepsItValid) {
  if (!adckit::test::host_programs_on_board()) GTEST_SKIP() << "the shell is native";
  const std::string adcread =
      std::string(ADCREAD_PATH) + " --channels 1 --scans 80 --interval 0 > /dev/null";
  const auto r = on_board({"sh", "-c", adcread + " && " + adcread},
                          {{"VBOARD_CAPTURE_LIMIT", "20000"}, {"VBOARD_CH0", "333"}}, false);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = adckit::test::board::read_file(file());
  EXPECT_LE(text.size(), 20000U);
  EXPECT_GT(text.size(), 15000U);
  const dump d = captured();
  ASSERT_EQ(d.why, "");
  EXPECT_TRUE(d.ended);
  const std::string told = "reached its limit of 20000 bytes";
  ASSERT_NE(r.err.find(told), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(told), r.err.rfind(told)) << r.err;
  const auto codes = codes_of_frames(decode(file(), "miso"));
  EXPECT_GT(codes.size(), 10U);
  EXPECT_EQ(codes, std::vector<int>(codes.size(), 333));

  const auto bad = on_board({"true"}, {{"VBOARD_CAPTURE_LIMIT", "100"}}, false);
  EXPECT_NE(bad.err.find("VBOARD_CAPTURE_LIMIT=100"), std::string::npos) << bad.err;
}

}  // namespace
