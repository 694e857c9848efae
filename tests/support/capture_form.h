// The main window on the virtual clock with a capturing serial driver behind its link: a
// test puts the window into the state a connection leaves it in, chooses a firmware file,
// presses the buttons and plays the loader's part byte by byte, then reads exactly what the
// window wrote to the port.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/comm_session.h"
#include "app/form_fakes.h"
#include "app/main_form.h"
#include "comm/comm.h"
#include "platform/virtual_event_loop.h"
#include "support/capture_serial.h"
#include "support/image_files.h"

namespace movrand::testing {

inline constexpr std::uint8_t kC = 0x43;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;

struct CaptureForm {
  CaptureForm()
      : form(loop, MainFormServices{clock, ports, fileDialog, dialogs, kProgramFile}),
        session(form, loop, driver) {}

  // As a connection leaves the window once the module at `baud` reported `model`.
  void Connected(RxMode mode, std::uint32_t baud, std::string_view model,
                 std::string_view word1 = "A1") {
    ASSERT_TRUE(OpenPort("ttyCAPTURE", baud, mode == RxMode::Binr ? 1 : 0));
    form.RxMode = mode;
    form.CurrentBaud = baud;
    form.DeviceIdentified = true;
    SetField(form.DeviceModel, model);
    SetField(form.VersionWord1, word1);
    form.SpeedButtonSynch.setCaption("Disconnect");
    form.SpeedButtonSynch.setEnabled(true);
    form.PortComboBox.setEnabled(false);
    form.ProtocolComboBox.setEnabled(false);
    form.BaudComboBox.setEnabled(false);
    form.UpdateProgramButton();
  }

  // The file the user picked in the file dialog.
  void ChooseFile(const std::string& name, const Bytes& bytes) {
    form.OpenDialog1.FileName = dir.Write(name, bytes).string();
    form.Edit1.setText(name);
    form.UpdateProgramButton();
  }

  // Presses Programming and returns with the loader waiting for its start requests.
  void ProgramAndEnterLoader() {
    form.SpeedButtonProgram.click();
    ASSERT_EQ(form.RxMode, RxMode::LoaderWait);
    driver.clearWrites();
  }

  // Hands a received chunk to the transfer as the receive handler does in the loader modes:
  // byte by byte, dropping the rest when told to. Returns the count of bytes taken.
  std::size_t Feed(const Bytes& chunk) {
    std::size_t taken = 0;
    for (std::uint8_t b : chunk) {
      ++taken;
      if (!form.LoaderByte(b)) break;
    }
    return taken;
  }
  std::size_t Feed(std::string_view chunk) { return Feed(Bytes(chunk.begin(), chunk.end())); }

  // The 133-byte writes so far, in order.
  std::vector<Bytes> Blocks() const {
    std::vector<Bytes> blocks;
    for (const Bytes& w : driver.writes()) {
      if (w.size() == 133) blocks.push_back(w);
    }
    return blocks;
  }

  const std::vector<std::string>& Lines() const { return form.Memo1.lines(); }
  std::string LastLine() const { return Lines().empty() ? std::string() : Lines().back(); }

  TempDir dir;
  VirtualEventLoop loop;
  FakeClock clock;
  FakePortSource ports;
  FakeFileDialog fileDialog;
  FakeDialogs dialogs;
  test::CaptureSerialDriver driver;
  TMainForm form;
  CommSession session;
};

}  // namespace movrand::testing
