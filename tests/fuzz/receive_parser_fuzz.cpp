// Feeds arbitrary chunks to the main window's receive handler in every receive mode, with the
// flags that change what a reply does (programming requested, reconnect after programming,
// test mode), and lets the window's timers run between chunks. Whatever arrives, no field,
// line or buffer may leave its bounds.
//
// Input: a flags byte (mode in bits 0-2, programming requested bit 3, reconnect bit 4, test
// mode bit 5), then chunks: a length byte (bits 0-5: length - 1; bit 6: let 300 ms of timers
// run after the chunk; bit 7: a mode byte follows), the optional mode byte, the chunk's bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
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

RxMode ModeOf(std::uint8_t byte) {
  return static_cast<RxMode>(byte % 5);
}

// One window for the whole run (building one per input would refill the image buffer each
// time); every input starts from the same state.
struct Fixture {
  Fixture()
      : ports(testing::FormFixture::WithPorts(std::vector<SerialPortEntry>{{"COM3", "port"}})),
        form(loop, MainFormServices{clock, ports, fileDialog, dialogs, testing::kProgramFile}),
        session(form, loop, driver) {}

  // Frees what an input left (lines, writes, armed timers, the port) before the input ends:
  // an input that ends with more allocated than it found would have the fuzzer search the
  // whole heap for leaks after it, which costs more than the input itself.
  void Clean() {
    ClosePort();
    for (Timer* t : {&form.Timer1, &form.TimerSynchNMEA, &form.TimerSynchBINR,
                     &form.TimerAutoBaudBinr, &form.TimerAutoBaudNmea, &form.TimerProtocol,
                     &form.TimerRestart, &form.TimerOpenRetry, &form.TimerReconnectDelay}) {
      t->setEnabled(false);
      t->setTag(0);
    }
    loop.advance(Milliseconds{0});  // work the input posted
    form.Memo1.clear();
    dialogs.messages.clear();  // the Cancel's and the handler's message boxes
    driver.clearWrites();
  }

  void Reset(std::uint8_t flags) {
    form.Receiver.NmeaRx.Clear();
    form.Receiver.BinrRx = BinrCollector{};
    form.SpeedButtonSynch.setCaption("Disconnect");
    form.PortName = "COM3";
    SetField(form.DeviceModel, "KAP41");
    form.Programmer.ImageLength = 1024;
    form.RetryCount = 0;
    OpenPort("COM3", 115200, 0);
    form.RxMode = ModeOf(flags);
    // The loader modes start as loader entry leaves them: the sender holds the image, and
    // for a transfer the start requests have come.
    form.Programmer.Sender = XmodemSender{};
    if (form.RxMode == RxMode::LoaderWait || form.RxMode == RxMode::Transfer) {
      form.Programmer.Sender.AwaitLoader(
          std::span<const std::uint8_t>(form.Programmer.ImageBuffer.data(), 1024));
    }
    if (form.RxMode == RxMode::Transfer) {
      for (int i = 0; i < 3; ++i) form.Programmer.Sender.Feed(kLoaderStartRequest);
    }
    form.ProgramRequested = (flags & 0x08) != 0;
    form.SetReconnectAfterProgramming((flags & 0x10) ? 1 : 0);
    form.TestMode = (flags & 0x20) != 0;
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
  fuzz::ChunkBuffer chunks{64};  // a chunk is at most 64 bytes
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto* fixture = new Fixture;  // lives for the process, as the window would
  if (size == 0) return 0;
  fixture->Reset(data[0]);
  TMainForm& form = fixture->form;
  std::size_t at = 1;
  while (at < size) {
    const std::uint8_t head = data[at++];
    if ((head & 0x80) && at < size) form.RxMode = ModeOf(data[at++]);
    const std::size_t length = std::min<std::size_t>((head & 0x3F) + 1u, size - at);
    if (length == 0) break;
    const auto chunk = fixture->chunks.Place(data + at, length);
    at += length;
    if (PortIsOpen()) {
      fixture->driver.receive(chunk);
    } else {
      form.PortDataReceived(chunk.data(), static_cast<int>(chunk.size()));
    }
    if (head & 0x40) fixture->loop.advance(Milliseconds{300});

    check(static_cast<unsigned>(form.RxMode) <= static_cast<unsigned>(RxMode::Transfer));
    for (const VersionField* f : {&form.DeviceModel, &form.VersionWord1, &form.VersionWord3,
                                  &form.VersionWord4, &form.VersionWord5}) {
      check(FieldText(*f).size() <= kVersionFieldMax);
    }
    const XmodemSender& sender = form.Programmer.Sender;
    check(sender.ImageOffset() >= 0 && sender.ImageOffset() <= sender.ImageLength());
  }
  fixture->Clean();
  return 0;
}
