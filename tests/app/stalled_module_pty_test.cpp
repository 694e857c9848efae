// The window against a module that stops taking data in the middle of a transfer, over a real
// pseudo-terminal: the loader answers a burst of ACKs and then reads nothing more, so the
// window's writes fill the line and stop. The window must lose the port within the write's
// limit, as it loses an unplugged adapter, and stay usable.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/image_files.h"
#include "support/pty_program.h"

namespace movrand::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kProbe = "$POVER*5E\r\n";
constexpr const char* kVersionReply = "$POVER,A1,KAP41,0102*5E\r\n";
constexpr std::size_t kBlock = 133;

void Select(ComboBox& box, const std::string& item) {
  const auto& items = box.items();
  box.userSelect(static_cast<int>(std::find(items.begin(), items.end(), item) - items.begin()));
}

TEST(StalledModule, TheWindowLosesThePortWithinTheWriteLimitAndStaysUsable) {
  TempDir dir;
  PtyProgram p(dir.path() / "movrand");
  std::vector<FormEvent> events;
  p.form.Events.Listen([&](const FormEvent& e) { events.push_back(e); });
  const auto announced = [&](FormEvent::Kind kind) {
    return std::any_of(events.begin(), events.end(),
                       [&](const FormEvent& e) { return e.kind == kind; });
  };

  Select(p.form.ProtocolComboBox, "NMEA");
  Select(p.form.BaudComboBox, "115200");
  p.form.SpeedButtonSynch.click();
  std::string sent;
  ASSERT_TRUE(p.Receive(sent, kProbe));
  p.pty.writeAll(std::vector<std::uint8_t>(kVersionReply, kVersionReply + 25));
  ASSERT_TRUE(p.loop.runUntil([&] { return p.form.DeviceIdentified; }, 5000ms));

  // An image of more blocks than the line's queues hold.
  Bytes image(130000, 0x5A);
  std::copy_n("KAP41", 5, image.begin() + 1000);
  p.form.OpenDialog1.FileName = dir.Write("fw.bin", image).string();
  p.form.Edit1.setText("fw.bin");
  p.form.UpdateProgramButton();
  p.form.SpeedButtonProgram.click();
  sent.clear();
  ASSERT_TRUE(p.Receive(sent, "$POPRL")) << sent;
  p.pty.writeAll({'C', 'C', 'C'});
  std::vector<std::uint8_t> block;
  ASSERT_TRUE(p.loop.runUntil(
      [&] {
        const auto got = p.pty.readAvailable(0, kBlock - block.size());
        block.insert(block.end(), got.begin(), got.end());
        return block.size() == kBlock;
      },
      5000ms));

  // The module answers with ACKs for every block it will ever get, and stops reading.
  p.pty.writeAll(std::vector<std::uint8_t>(1024, 0x06));
  const auto stalled = Clock::now();
  ASSERT_TRUE(p.loop.runUntil([&] { return announced(FormEvent::Kind::PortLost); }, 20000ms));
  const auto took = Clock::now() - stalled;
  // The queues fill at once; the write that finds them full waits its limit, no longer.
  EXPECT_LT(took, WriteTimeLimit(kBlock, 115200, Parity::None) + 2000ms);
  EXPECT_NE(
      std::find(p.form.Memo1.lines().begin(), p.form.Memo1.lines().end(),
                "14:03:12>>COM port " + p.pty.portName() + " is lost: the device was disconnected"),
      p.form.Memo1.lines().end());
  EXPECT_FALSE(announced(FormEvent::Kind::LoadingCompleted)) << "no false completion";

  // As after an unplug: the window still answers, and Cancel ends the attempt as ever.
  EXPECT_EQ(p.form.RxMode, RxMode::Transfer);
  ASSERT_TRUE(p.form.SpeedButton1.enabled());
  p.form.SpeedButton1.click();
  EXPECT_EQ(p.form.RxMode, RxMode::Idle);
  EXPECT_EQ(p.form.SpeedButtonSynch.caption(), "Connect");
  ASSERT_EQ(p.dialogs.messages.size(), 1u);
  EXPECT_EQ(p.dialogs.messages[0].first, "Warning");
}

}  // namespace
}  // namespace movrand::testing
