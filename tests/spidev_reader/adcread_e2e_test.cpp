// adcread as a user runs it, on the virtual board.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;

struct run_result {
  int status = -1;
  std::string out, err;
};

std::string read_file(const fs::path &p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class AdcreadE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "adcread-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs adcread with `args` on a board configured by `board` (VBOARD_*).
  run_result run(const std::vector<std::string> &args,
                 const std::map<std::string, std::string> &board = {}) {
    std::map<std::string, std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
      const std::string entry(*e);
      const auto eq = entry.find('=');
      if (eq == std::string::npos || entry.starts_with("VBOARD_") ||
          entry.starts_with("LD_PRELOAD")) {
        continue;
      }
      env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    // A board of its own: runs in parallel never share a chip.
    env["VBOARD_BOARD"] = "private";
    // Our own program is held to what the target does.
    env["VBOARD_STRICT"] = "1";
    for (const auto &[k, v] : board) env[k] = v;
    // The board is not built with a sanitizer, so it may come before one.
    env["ASAN_OPTIONS"] += ":verify_asan_link_order=0";

    std::vector<std::string> command;
    const std::string emulator = ADCREAD_EMULATOR;
    for (std::size_t start = 0; start < emulator.size();) {
      const std::size_t end = std::min(emulator.find('|', start), emulator.size());
      if (end > start) command.emplace_back(emulator.substr(start, end - start));
      start = end + 1;
    }
    if (command.empty()) {
      env["LD_PRELOAD"] = ADCREAD_VBOARD;
    } else {
      // The emulator's own loader must not see the target's library.
      command.insert(command.end(), {"-E", std::string("LD_PRELOAD=") + ADCREAD_VBOARD});
    }
    command.push_back(ADCREAD_PATH);
    command.insert(command.end(), args.begin(), args.end());

    std::vector<std::string> env_text;
    for (const auto &[k, v] : env) env_text.push_back(k + "=" + v);
    std::vector<char *> argv, envp;
    for (auto &c : command) argv.push_back(c.data());
    argv.push_back(nullptr);
    for (auto &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    const fs::path out = dir_ / "out", err = dir_ / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    run_result r;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0) << std::strerror(spawned);
    if (spawned != 0) return r;
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
  }

  static std::map<std::string, std::string> codes() {
    return {{"VBOARD_CH0", "0"},    {"VBOARD_CH1", "1023"}, {"VBOARD_CH2", "602"},
            {"VBOARD_CH3", "1"},    {"VBOARD_CH4", "512"},  {"VBOARD_CH5", "100"},
            {"VBOARD_CH6", "1000"}, {"VBOARD_CH7", "341"}};
  }

  fs::path dir_;
};

TEST_F(AdcreadE2E, PrintsOneTimestampedLinePerScan) {
  const auto r = run({"--scans", "2", "--interval", "5"}, codes());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string line =
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{9}Z  ch0=0  ch1=1023  ch2=602  ch3=1  ch4=512  ch5=100  ch6=1000  ch7=341\n)";
  EXPECT_TRUE(std::regex_match(r.out, std::regex("(" + line + "){2}"))) << r.out;
}

TEST_F(AdcreadE2E, CsvHasAHeaderAndOneRowPerScanOnAChosenDevice) {
  auto board = codes();
  board["VBOARD_SPIDEV_DEVICES"] = "/dev/spidev0.0,/dev/spidev1.0";
  const auto r = run(
      {"--device", "/dev/spidev1.0", "--channels", "3", "--scans", "3", "--interval", "0", "--csv"},
      board);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex(R"(time,ch0,ch1,ch2,failed_exchanges\n(\d+\.\d{9},0,1023,602,0\n){3})")))
      << r.out;
}

TEST_F(AdcreadE2E, RetriedExchangesAreShownAndLostChannelsLeftEmpty) {
  auto board = codes();
  board["VBOARD_SPIDEV_FAIL_TRANSFERS"] = "6:-1:EIO";
  const auto r = run({"--channels", "2", "--csv"}, board);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(
      std::regex_match(r.out, std::regex(R"(time,ch0,ch1,failed_exchanges\n\d+\.\d{9},,1023,6\n)")))
      << r.out;
}

TEST_F(AdcreadE2E, MissingDeviceEndsWithAClearMessage) {
  auto board = codes();
  board["VBOARD_SPIDEV_MISSING"] = "/dev/spidev0.0";
  const auto r = run({}, board);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("adcread: cannot open /dev/spidev0.0: No such file or directory"),
            std::string::npos)
      << r.err;
}

TEST_F(AdcreadE2E, DeviceThatStopsAnsweringEndsTheRun) {
  auto board = codes();
  board["VBOARD_SPIDEV_VANISH_AFTER"] = "/dev/spidev0.0:8";
  const auto r = run({"--scans", "5", "--interval", "0", "--csv"}, board);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(std::regex_match(
      r.out,
      std::regex(
          R"(time(,ch\d)+,failed_exchanges\n\d+\.\d{9},0,1023,602,1,512,100,1000,341,0\n\d+\.\d{9},{8},40\n)")))
      << r.out;
  EXPECT_NE(r.err.find("adcread: /dev/spidev0.0 stopped answering"), std::string::npos) << r.err;
}

TEST_F(AdcreadE2E, BadArgumentsShowTheUsage) {
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"--channels", "9"}, {"--scans"}, {"--interval", "-1"}, {"--bogus"}}) {
    const auto r = run(args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_NE(r.err.find("usage: adcread"), std::string::npos) << r.err;
  }
}

}  // namespace
