// Feeds arbitrary loader bytes to the main window from loader entry on: the start requests,
// the transfer's ACKs and NAKs, noise, the Cancel button and the window's timers in between.
// Whatever the loader sends, every block that goes out is a whole, correct block of the image
// (the one sent before again, or the next), nothing is sent past the image's end, EOT only
// after its last block, and the procedure ends only as it may: completed, aborted after four
// rejections, or cancelled.
//
// Input: a flags byte (bits 0-5: the image has 1 + that many blocks; bit 6: test mode; bit 7:
// a BINR link, else NMEA), then chunks: a head byte (bits 0-5: length - 1; bit 6: let 150 ms
// of timers run after the chunk; bit 7: press Cancel instead, which ends the input), the chunk's
// bytes.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "app/comm_session.h"
#include "app/form_fakes.h"
#include "app/main_form.h"
#include "chunk_buffer.h"
#include "comm/comm.h"
#include "support/capture_serial.h"

namespace {

using namespace movrand;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEot = 0x04;
constexpr std::size_t kBlock = 133;

// The checksum's definition, a bit at a time: independent of the window's table.
std::uint16_t BitwiseCrc(const std::uint8_t* data, std::size_t size) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < size; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

bool HasLine(const TMainForm& form, std::string_view text) {
  return std::any_of(form.Memo1.lines().begin(), form.Memo1.lines().end(),
                     [&](const std::string& line) { return line.ends_with(text); });
}

// One window for the whole run, its image buffer filled once; every input starts at loader
// entry and is cleaned up before it ends.
struct Fixture {
  Fixture()
      : ports(testing::FormFixture::WithPorts(std::vector<SerialPortEntry>{{"COM3", "port"}})),
        form(loop, MainFormServices{clock, ports, fileDialog, dialogs, testing::kProgramFile}),
        session(form, loop, driver) {
    for (std::size_t i = 0; i < form.Programmer.ImageBuffer.size(); ++i) {
      form.Programmer.ImageBuffer[i] = static_cast<std::uint8_t>(i * 7 + (i >> 7));
    }
    for (std::size_t b = 0; b < kMaxBlocks; ++b) {
      blockCrc[b] = BitwiseCrc(form.Programmer.ImageBuffer.data() + b * 128, 128);
    }
  }

  void Start(std::uint8_t flags) {
    OpenPort("COM3", 115200, (flags & 0x80) ? 1 : 0);
    form.RxMode = (flags & 0x80) ? RxMode::Binr : RxMode::Nmea;
    form.TestMode = (flags & 0x40) != 0;
    form.DeviceIdentified = true;
    form.ProgramRequested = false;
    form.SetReconnectAfterProgramming(0);
    form.SpeedButton1.setEnabled(true);
    form.BitBtn1.setEnabled(true);
    SetField(form.DeviceModel, "KAP41");
    form.Programmer.ImageLength = 128 * (1 + (flags & 0x3F));
    // Loader entry hands the sender the image with the transfer state at its start values.
    form.StartLoaderEntry();
    driver.clearWrites();  // the loader-entry command
  }

  void Clean() {
    ClosePort();
    for (Timer* t : {&form.Timer1, &form.TimerSynchNMEA, &form.TimerSynchBINR,
                     &form.TimerAutoBaudBinr, &form.TimerAutoBaudNmea, &form.TimerProtocol,
                     &form.TimerRestart, &form.TimerOpenRetry, &form.TimerReconnectDelay}) {
      t->setEnabled(false);
      t->setTag(0);
    }
    loop.advance(Milliseconds{0});
    form.RxMode = RxMode::Idle;
    form.Memo1.clear();
    dialogs.messages.clear();  // the Cancel's and the handler's message boxes
    driver.clearWrites();
  }

  VirtualEventLoop loop;
  testing::FakeClock clock;
  testing::FakePortSource ports;
  testing::FakeFileDialog fileDialog;
  testing::FakeDialogs dialogs;
  test::CaptureSerialDriver driver;
  TMainForm form;
  CommSession session;
  static constexpr std::size_t kMaxBlocks = 64;
  std::array<std::uint16_t, kMaxBlocks> blockCrc{};  // of each block the image can have
  fuzz::ChunkBuffer chunks{64};                      // a chunk is at most 64 bytes
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto* fixture = new Fixture;  // lives for the process, as the window would
  if (size == 0) return 0;
  fixture->Start(data[0]);
  TMainForm& form = fixture->form;
  const std::int32_t length = form.Programmer.ImageLength;

  std::size_t seenWrites = 0;
  int lastNumber = -1;  // the block sent last: 1, 2, ... (images stay below 256 blocks)
  bool eotSent = false, ended = false;
  std::size_t at = 1;
  while (at < size) {
    const std::uint8_t head = data[at++];
    if (head & 0x80) {
      const bool running = form.RxMode == RxMode::LoaderWait || form.RxMode == RxMode::Transfer;
      form.SpeedButton1Click();
      check(form.RxMode == RxMode::Idle || !running);
      check(!PortIsOpen());
      // The port is closed: no byte of the loader can reach the window any more, so the
      // rest of the input has nothing left to try.
      break;
    }
    const std::size_t n = std::min<std::size_t>((head & 0x3F) + 1u, size - at);
    if (n == 0) break;
    const auto chunk = fixture->chunks.Place(data + at, n);
    at += n;
    fixture->driver.receive(chunk);
    if (head & 0x40) fixture->loop.advance(Milliseconds{150});

    // After the completion the restart wait and the reconnect may take the link anywhere.
    check(eotSent || form.RxMode == RxMode::Idle || form.RxMode == RxMode::LoaderWait ||
          form.RxMode == RxMode::Transfer);
    check(form.Programmer.Sender.ImageOffset() >= 0 &&
          form.Programmer.Sender.ImageOffset() <= length &&
          form.Programmer.Sender.ImageOffset() % 128 == 0);
    check(form.Programmer.Sender.NakCount() >= 0 && form.Programmer.Sender.NakCount() <= 4);

    const auto& writes = fixture->driver.writes();
    for (; !eotSent && seenWrites < writes.size(); ++seenWrites) {
      const auto& w = writes[seenWrites];
      if (w.size() == 1) {
        check(w[0] == kEot);
        check(lastNumber == length / 128);  // after the last block only
        eotSent = true;
        continue;
      }
      check(w.size() == kBlock && w[0] == kSoh);
      const int number = w[1];
      check(w[2] == 255 - number);
      check(number == lastNumber || number == lastNumber + 1 || (lastNumber < 0 && number == 1));
      check(number >= 1 && number <= length / 128);
      const std::uint8_t* expected = form.Programmer.ImageBuffer.data() + (number - 1) * 128;
      check(std::equal(w.begin() + 3, w.begin() + 131, expected));
      const std::uint16_t crc = fixture->blockCrc[static_cast<std::size_t>(number - 1)];
      check(w[131] == (crc >> 8) && w[132] == (crc & 0xFF));
      lastNumber = number;
    }

    if (!ended && form.RxMode == RxMode::Idle) {
      // Ended by the loader's bytes: completed or aborted, and the window says which.
      ended = true;
      const bool completed = HasLine(form, form.Messages.TextLoadingCompleted);
      const bool aborted = HasLine(form, form.Messages.TextTooManyErrors);
      check(completed != aborted);
      check(completed == eotSent);
      if (aborted) check(!PortIsOpen() && form.Programmer.Sender.NakCount() == 4);
      if (completed) check(form.TestMode ? PortIsOpen() : form.TimerRestart.enabled());
    }
  }
  fixture->Clean();
  return 0;
}
