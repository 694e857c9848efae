// The traffic log "log.dat" with the simulated module on the virtual clock: what a connection
// leaves in the file, when the file is emptied or shared, and what happens when it cannot be
// created or logging is off.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "comm/comm.h"
#include "sim/wire.h"
#include "support/sim_form.h"
#include "support/temp_folder.h"

namespace movrand::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sim::Protocol;
using sim::SimConfig;

constexpr const char* kProbe = "$POVER*5E\r\n";  // the version query as it goes on the wire

SimConfig Module(std::uint32_t baud, bool silent = false) {
  SimConfig config;
  config.protocol = Protocol::Nmea;
  config.baud = baud;
  config.silent = silent;
  return config;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh program folder for each test; the current directory the log open changes is put
// back afterwards.
class TrafficLog : public ::testing::Test {
 protected:
  void SetUp() override {
    before_ = fs::current_path();
    folder_ = test::MakeTempFolder("movrand-log");
  }
  void TearDown() override {
    sim.reset();
    fs::current_path(before_);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // The window with the module behind "SIM0", started with `arguments` from `programFile`.
  void Start(SimConfig config, const std::string& arguments, fs::path programFile = {}) {
    if (programFile.empty()) programFile = folder_ / "movrand";
    sim.reset();  // one window on the serial link at a time
    sim = std::make_unique<SimForm>(std::move(config), true, std::move(programFile));
    ApplyCommandLine(sim->form, arguments);
  }
  TMainForm& form() { return sim->form; }
  fs::path LogPath() const { return folder_ / "log.dat"; }
  std::string VersionReply() const {
    std::string body = "POVER";
    for (const std::string& word : sim->config.versionWords) body += "," + word;
    return sim::FrameNmea(body);
  }
  // Connects at a fixed NMEA rate and waits for the outcome: identified or given up.
  void Connect(const std::string& baud) {
    sim->Select("NMEA", baud);
    sim->Connect();
    ASSERT_TRUE(sim->RunUntil([&] { return form().SpeedButtonSynch.enabled(); }, 5000ms));
  }
  void Disconnect() {
    ASSERT_EQ(form().SpeedButtonSynch.caption(), "Disconnect");
    sim->Connect();
    ASSERT_EQ(form().SpeedButtonSynch.caption(), "Connect");
  }

  fs::path folder_;
  std::unique_ptr<SimForm> sim;

 private:
  fs::path before_;
};

TEST_F(TrafficLog, AConnectionLeavesTheMarkedQueryAndTheReplyInTimeOrder) {
  Start(Module(115200), "/l");
  Connect("115200");
  ASSERT_TRUE(form().DeviceIdentified);
  EXPECT_NE(form().LogFile, nullptr);
  EXPECT_EQ(fs::current_path(), folder_);  // the program's folder, for the rest of the run
  Disconnect();
  EXPECT_EQ(form().LogFile, nullptr);  // closed with the connection: everything is in the file
  EXPECT_EQ(ReadFile(LogPath()), std::string(">>") + kProbe + VersionReply());
}

TEST_F(TrafficLog, TwoAttemptsWithoutADisconnectShareOneFile) {
  Start(Module(9600), "/l");
  Connect("115200");  // the module talks at 9600: three queries go unanswered
  ASSERT_TRUE(sim->HasLine(VirtualClockTime::At(4000ms) + ">>Device is not responding..."));
  ASSERT_EQ(form().SpeedButtonSynch.caption(), "Connect");
  EXPECT_NE(form().LogFile, nullptr);  // a failed attempt leaves the log open
  Connect("9600");
  ASSERT_TRUE(form().DeviceIdentified);
  Disconnect();
  std::string expected;
  for (int i = 0; i < 4; ++i) expected += std::string(">>") + kProbe;
  EXPECT_EQ(ReadFile(LogPath()), expected + VersionReply());
}

TEST_F(TrafficLog, AConnectClickAfterADisconnectStartsTheFileAnew) {
  Start(Module(9600), "/l");
  Connect("9600");
  Disconnect();
  ASSERT_EQ(ReadFile(LogPath()), std::string(">>") + kProbe + VersionReply());

  Connect("115200");         // unanswered this time
  form().CloseTrafficLog();  // as Cancel would, to look at the file
  EXPECT_EQ(ReadFile(LogPath()), std::string(">>") + kProbe + ">>" + kProbe + ">>" + kProbe);
}

TEST_F(TrafficLog, CancelClosesTheLog) {
  Start(Module(115200), "/l");
  Connect("115200");
  ASSERT_TRUE(form().DeviceIdentified);
  form().SpeedButton1.click();
  EXPECT_EQ(form().LogFile, nullptr);
  EXPECT_EQ(ReadFile(LogPath()), std::string(">>") + kProbe + VersionReply());
}

TEST_F(TrafficLog, ATransferAbortedAfterFourRejectionsClosesTheLog) {
  SimConfig config = Module(115200);
  config.nakForever = 1;  // the first block is never accepted
  Start(config, "/l");
  const fs::path image = folder_ / "fw.bin";
  {
    std::string bytes(256, '\x5A');
    bytes.replace(64, 5, sim->config.model);
    std::ofstream(image, std::ios::binary) << bytes;
  }
  form().OpenDialog1.FileName = image.string();
  form().Edit1.setText("fw.bin");
  Connect("115200");
  ASSERT_TRUE(form().SpeedButtonProgram.enabled());
  form().SpeedButtonProgram.click();
  ASSERT_TRUE(sim->RunUntil(
      [&] {
        return !sim->Lines().empty() && sim->Lines().back().ends_with(
                                            ">>Data loading has been canceled because of "
                                            "multiple errors!");
      },
      60000ms));
  EXPECT_EQ(form().LogFile, nullptr);

  const std::string log = ReadFile(LogPath());
  EXPECT_TRUE(log.starts_with(std::string(">>") + kProbe + VersionReply()));
  EXPECT_NE(log.find(">>" + sim::FrameNmea("POPRL,B")), std::string::npos);
  // The first block went out five times, each after its mark: once, then again after each
  // rejection; the fourth rejection gives up right after its repeat, so the file ends with
  // that whole block.
  const std::string blockStart(">>\x01\x01\xFE", 5);
  std::size_t blocks = 0;
  for (std::size_t at = log.find(blockStart); at != std::string::npos;
       at = log.find(blockStart, at + 1)) {
    ++blocks;
  }
  EXPECT_EQ(blocks, 5u);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\x15'), 4);
  ASSERT_GE(log.size(), 135u);
  EXPECT_EQ(log.substr(log.size() - 135, 5), blockStart);
}

TEST_F(TrafficLog, AFileThatCannotBeCreatedIsReportedOnceAndTheConnectGoesOn) {
  // Both work for a user who may write anywhere (tests may run as root).
  const struct {
    const char* name;
    void (*prepare)(const fs::path& folder);
    const char* programFile;
  } cases[] = {
      {"log.dat is a folder", [](const fs::path& f) { fs::create_directory(f / "log.dat"); },
       "movrand"},
      {"the program folder is a file",
       [](const fs::path& f) { std::ofstream(f / "notafolder") << "x"; }, "notafolder/movrand"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ignored;
    fs::remove_all(LogPath(), ignored);
    c.prepare(folder_);
    Start(Module(115200), "/l", folder_ / c.programFile);
    Connect("115200");
    EXPECT_TRUE(form().DeviceIdentified);
    ASSERT_GE(sim->Lines().size(), 1u);
    // The bare text, before the connection's own lines.
    EXPECT_EQ(sim->Lines()[0], ">>Can't create log-file");
    EXPECT_FALSE(form().LogEnabled);
    EXPECT_EQ(form().LogFile, nullptr);

    Disconnect();
    Connect("115200");
    Disconnect();
    EXPECT_EQ(std::count(sim->Lines().begin(), sim->Lines().end(), ">>Can't create log-file"), 1);
    EXPECT_FALSE(fs::is_regular_file(LogPath()));
  }
}

#ifndef _WIN32
TEST_F(TrafficLog, ALinkOrAPipeInTheLogsPlaceIsRefusedNotWrittenThrough) {
  // A link planted where the log goes would have the traffic written over whatever it points
  // at; a pipe would hold the connect until somebody reads it.
  const fs::path target = folder_ / "settings-of-another-program.ini";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, LogPath());
  Start(Module(115200), "/l");
  Connect("115200");
  EXPECT_TRUE(form().DeviceIdentified) << "the connect goes on";
  ASSERT_GE(sim->Lines().size(), 2u);
  EXPECT_EQ(sim->Lines()[0], ">>Can't create log-file");
  EXPECT_EQ(sim->Lines()[1],
            ">>log.dat is a symbolic link: the traffic log is not written through it");
  EXPECT_EQ(ReadFile(target), "keep");
  EXPECT_TRUE(fs::is_symlink(LogPath()));
  Disconnect();

  fs::remove(LogPath());
  ASSERT_EQ(::mkfifo(LogPath().c_str(), 0600), 0);
  Start(Module(115200), "/l");
  Connect("115200");
  EXPECT_TRUE(form().DeviceIdentified);
  ASSERT_GE(sim->Lines().size(), 2u);
  EXPECT_EQ(sim->Lines()[0], ">>Can't create log-file");
  EXPECT_EQ(sim->Lines()[1], ">>log.dat is not a plain file");
}
#endif

TEST_F(TrafficLog, WithoutTheSwitchNoFileIsCreatedOrChanged) {
  for (const char* arguments : {"", "/t", "/L", "-l"}) {
    SCOPED_TRACE(arguments);
    std::error_code ignored;
    fs::remove(LogPath(), ignored);
    Start(Module(115200), arguments);
    Connect("115200");
    Disconnect();
    EXPECT_FALSE(fs::exists(LogPath()));

    std::ofstream(LogPath()) << "kept";
    Connect("115200");
    Disconnect();
    EXPECT_EQ(ReadFile(LogPath()), "kept");
  }
}

TEST_F(TrafficLog, EveryWriteIsMarkedAnEmptyOneByTheMarkAlone) {
  Start(Module(115200), "/l");
  form().OpenTrafficLog();
  ASSERT_NE(form().LogFile, nullptr);
  const std::uint8_t bytes[] = {0x10, 0x26, 0x00, 0x3E};
  EXPECT_EQ(WritePort(bytes, 0), 0);
  WritePort(bytes, 4);  // no port open: logged all the same, as it was asked for
  const std::uint8_t received[] = {'>', '>', 0x00};
  form().WriteTrafficReceived(received, 3);
  form().WriteTrafficReceived(received, 0);
  form().CloseTrafficLog();
  EXPECT_EQ(ReadFile(LogPath()), std::string(">>>>\x10\x26\x00\x3E>>\x00", 11));
  form().CloseTrafficLog();  // a second close does nothing
}

TEST_F(TrafficLog, ARelativeProgramPathStillLogsIntoTheProgramFolder) {
  fs::create_directory(folder_ / "bin");
  fs::current_path(folder_);
  Start(Module(115200), "/l", fs::path("bin") / "movrand");
  Connect("115200");
  Disconnect();
  EXPECT_EQ(fs::current_path(), folder_ / "bin");
  EXPECT_EQ(ReadFile(folder_ / "bin" / "log.dat"), std::string(">>") + kProbe + VersionReply());
  EXPECT_FALSE(fs::exists(folder_ / "bin" / "bin"));
}

}  // namespace
}  // namespace movrand::testing
