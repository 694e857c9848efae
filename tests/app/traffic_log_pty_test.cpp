// The traffic log over a real serial line: the main window on the system's serial link and a
// pseudo-terminal, with the test answering as the module on the other side, in real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "support/pty_program.h"

namespace movrand::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kProbe = "$POVER*5E\r\n";
constexpr const char* kVersionReply = "$POVER,A1,KAP41,0102*5E\r\n";
constexpr const char* kPositionSentence =
    "$GPGGA,120000.00,5540.0000,N,03730.0000,E,1,08,1.0,150.0,M,14.0,M,,*64\r\n";

class TrafficLogOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    before_ = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "movrand-ptylog-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    fs::current_path(before_);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  std::string Log() const {
    std::ifstream in(folder_ / "log.dat", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  fs::path folder_;

 private:
  fs::path before_;
};

TEST_F(TrafficLogOverPty, HoldsTheMarkedQueryAndTheTwoSentencesInTimeOrderThenStartsAnew) {
  PtyProgram p(folder_ / "movrand");
  ApplyCommandLine(p.form, "/l");
  const auto select = [&](ComboBox& box, const std::string& item) {
    const auto& items = box.items();
    box.userSelect(static_cast<int>(std::find(items.begin(), items.end(), item) - items.begin()));
  };
  select(p.form.ProtocolComboBox, "NMEA");
  select(p.form.BaudComboBox, "115200");

  p.form.SpeedButtonSynch.click();
  std::string sent;
  ASSERT_TRUE(p.Receive(sent, kProbe)) << "sent: " << sent;
  const std::string reply(kVersionReply);
  p.pty.writeAll(std::vector<std::uint8_t>(reply.begin(), reply.end()));
  ASSERT_TRUE(p.loop.runUntil([&] { return p.form.DeviceIdentified; }, 5000ms));
  const std::string position(kPositionSentence);
  p.pty.writeAll(std::vector<std::uint8_t>(position.begin(), position.end()));
  ASSERT_TRUE(p.loop.runUntil(
      [&] { return p.term.Memo1.text().find("$GPGGA") != std::string::npos; }, 5000ms));

  p.form.SpeedButtonSynch.click();  // Disconnect
  ASSERT_EQ(p.form.SpeedButtonSynch.caption(), "Connect");
  sent += Text(p.pty.readAvailable(50));
  EXPECT_EQ(sent, kProbe) << "one query, answered at once";
  EXPECT_EQ(Log(), std::string(">>") + kProbe + kVersionReply + position);

  // The next connect click empties the file: it holds the new connection alone.
  p.form.SpeedButtonSynch.click();
  sent.clear();
  ASSERT_TRUE(p.Receive(sent, kProbe));
  p.form.SpeedButton1.click();  // Cancel: closes the port and the log
  EXPECT_EQ(Log(), std::string(">>") + kProbe);
}

}  // namespace
}  // namespace movrand::testing
