// The vboard launcher: runs programs on a named board without the user
// spelling out the preload, shows the board and powers it off, and finds
// the board library in an installed tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/board.hpp"

namespace {

namespace fs = std::filesystem;
using adckit::test::Outcome;
using adckit::test::board::Running;
using adckit::test::TempDir;

class Launcher : public ::testing::Test {
 protected:
  Outcome vboard(std::vector<std::string> args, const std::string &launcher = VBOARD_LAUNCHER) {
    args.insert(args.begin(), launcher);
    return adckit::test::run({.argv = args});
  }
  std::string board() const { return dir / "board"; }
  TempDir dir;
};

TEST_F(Launcher, RunsAProgramOnANamedBoardThatShowAndResetThenSee) {
  Outcome o = vboard({"run", "--board", board(), "VBOARD_CH3=700", "--", BOARD_WORKER_PATH, "spi",
                      "5", "3", "700"});
  EXPECT_EQ(o.status, 0) << o.err;
  // The worker leaves pin 12 exported as an output.
  o = vboard({"run", "--board=" + board(), "--", BOARD_WORKER_PATH, "pin", "3", "12"});
  EXPECT_EQ(o.status, 0) << o.err;
  o = vboard({"run", "--board", board(), "--", BOARD_WORKER_PATH, "export", "12"});
  EXPECT_EQ(o.status, 0) << o.err;

  o = vboard({"show", "--board", board()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("board " + board()), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("  12     out       1     0          none\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("CH3 700 LSB: code 700 now"), std::string::npos) << o.out;

  o = vboard({"reset", "--board", board()});
  ASSERT_EQ(o.status, 0) << o.err;
  o = vboard({"show", "--board", board()});
  EXPECT_NE(o.out.find("no pin exported"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("CH3 0 LSB: code 0 now"), std::string::npos) << o.out;
}

// A named board's object lives in shared memory until the reset, which
// removes it; a program still on the board runs on, on a board just
// powered on, and the next program makes the object afresh.
TEST_F(Launcher, AResetRemovesANamedBoardsObjectAndAProgramOnItRunsOn) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm here";
  const std::string name = "reset-test-" + std::to_string(getpid());
  const std::string object = "/dev/shm/vboard-" + std::to_string(getuid()) + "-" + name;
  struct cleanup {
    std::string path;
    ~cleanup() { (void)unlink(path.c_str()); }
  } removed{object};
  const auto exists = [&] {
    struct stat st {};
    return lstat(object.c_str(), &st) == 0;
  };

  Outcome o = vboard({"run", "--board", name, "--", BOARD_WORKER_PATH, "export", "12"});
  ASSERT_EQ(o.status, 0) << o.err;
  ASSERT_TRUE(exists());

  const std::string ready = dir / "ready", go = dir / "go";
  Running attached(
      {VBOARD_LAUNCHER, "run", "--board", name, "--", BOARD_WORKER_PATH, "across", "12", ready, go},
      {}, true, false);
  for (int i = 0; i < 3000 && !fs::exists(ready); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(fs::exists(ready));

  o = vboard({"reset", "--board", name});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "board " + name + " powered off and on\n");
  EXPECT_FALSE(exists());
  std::ofstream(go).flush();
  o = attached.wait();
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "before 1\nafter: no pin\nexported again: in\n") << o.err;
  EXPECT_FALSE(exists());

  // Made afresh by the next program, and removed by the next reset: no
  // object is left behind.
  o = vboard({"run", "--board", name, "--", BOARD_WORKER_PATH, "pin", "2", "12"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(exists());
  EXPECT_EQ(vboard({"reset", "--board", name}).status, 0);
  EXPECT_FALSE(exists());
  for (const auto &entry : fs::directory_iterator("/dev/shm")) {
    EXPECT_EQ(entry.path().filename().string().find(name), std::string::npos) << entry.path();
  }
}

TEST_F(Launcher, SaysWhatIsWrongWithItsArguments) {
  Outcome o = vboard({"run", "--board", board(), "--", "no-such-program-here"});
  EXPECT_EQ(o.status, 127);
  EXPECT_NE(o.err.find("no-such-program-here: program not found"), std::string::npos) << o.err;
  o = vboard({"run", "--board", board(), BOARD_WORKER_PATH});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("the program goes after --"), std::string::npos) << o.err;
  o = vboard({"run", "--board"});
  EXPECT_EQ(o.status, 2);
  o = vboard({"frobnicate"});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("unknown command: frobnicate"), std::string::npos) << o.err;
  o = vboard({"--help"});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("vboard run"), std::string::npos);
}

TEST_F(Launcher, FindsTheLibraryOfAnInstalledTreeFirst) {
  fs::create_directories(dir / "tree/bin");
  fs::create_directories(dir / "tree/lib/adckit");
  fs::copy_file(VBOARD_LAUNCHER, dir / "tree/bin/vboard");
  fs::copy_file(VBOARD_LIBRARY, dir / "tree/lib/adckit/libvboard.so");
  const Outcome o = vboard({"show", "--board", board()}, dir / "tree/bin/vboard");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("library " + (dir / "tree/bin/../lib/adckit/libvboard.so") + "\n", 0), 0U)
      << o.out;
}

// An ELF header for ARM (32-bit, little-endian) of the given type: all the
// launcher reads of a program or a library before it starts it.
void write_arm_elf(const fs::path &path, unsigned char type) {
  unsigned char h[64] = {0x7f, 'E', 'L', 'F', 1, 1, 1};
  h[16] = type;
  h[18] = 40;  // EM_ARM
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(h), sizeof h);
  fs::permissions(path, fs::perms::owner_all);
}

TEST_F(Launcher, RunsAnArmProgramThroughTheEmulatorWithThePreloadForTheProgramOnly) {
  const fs::path program = dir / "arm-program";
  const fs::path library = dir / "libvboard-arm.so";
  const fs::path qemu = dir / "fake-qemu";
  write_arm_elf(program, 2);
  write_arm_elf(library, 3);
  std::ofstream(qemu) << "#!/bin/sh\necho \"preload=${LD_PRELOAD:-}\"\n"
                         "for a in \"$@\"; do echo \"arg=$a\"; done\nexit 7\n";
  fs::permissions(qemu, fs::perms::owner_all);

  const Outcome o = adckit::test::run(
      {.argv = {VBOARD_LAUNCHER, "run", "--board", board(), "--", program, "one", "two words"},
       .env = {{"VBOARD_QEMU", qemu}, {"VBOARD_LIBRARY", library}}});
  EXPECT_EQ(o.status, 7) << o.err;
  const std::string preload = o.out.substr(0, o.out.find('\n'));
  EXPECT_EQ(preload.find("libvboard"), std::string::npos) << "the emulator itself is preloaded";
  // The ARM sysroot, where there is one, then the preload for the program
  // only, the program and its arguments as given.
  std::string args = o.out.substr(o.out.find('\n') + 1);
  if (args.starts_with("arg=-L\n")) args.erase(0, args.find('\n', 7) + 1);
  EXPECT_EQ(args, "arg=-E\narg=LD_PRELOAD=" + library.string() + "\narg=" + program.string() +
                      "\narg=one\narg=two words\n")
      << o.out;
}

}  // namespace
