// The programming procedure against a scripted loader: what the window writes to the port for
// each answer, the block format and numbering, rejections and the abort, completion, the
// progress line on the virtual clock, the rate choice and the Cancel button.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>

#include "protocol/binr_output.h"
#include "protocol/nmea_output.h"
#include "support/capture_form.h"

namespace movrand {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::CaptureForm;
using testing::kAck;
using testing::kNak;

constexpr const char* kStamp = "14:03:12";

std::string Stamped(std::string_view text) {
  return std::string(kStamp).append(text);
}

using testing::ExpectedBlock;

class ProcedureTest : public ::testing::Test {
 protected:
  // Connected over NMEA at 115200 to a KAP41, a file of `size` bytes chosen, Programming
  // pressed and confirmed: the loader-entry command has gone out.
  void ReadyInLoader(std::size_t size) {
    f.Connected(RxMode::Nmea, 115200, "KAP41");
    file = testing::SmallImage(size, {"KAP41"});
    if (size >= 131072) file = testing::LargeImage(size, {"KAP41"});
    f.ChooseFile("fw.bin", file);
    f.ProgramAndEnterLoader();
  }

  // Starts the transfer and returns with block 1 sent.
  void StartTransfer() {
    ASSERT_EQ(f.Feed("CCC"), 3u);
    ASSERT_EQ(f.form.RxMode, RxMode::Transfer);
  }

  CaptureForm f;
  Bytes file;
};

// ---- Loader start -------------------------------------------------------------------------

TEST_F(ProcedureTest, ThreeStartRequestsInARowAcrossChunksStartTheTransfer) {
  ReadyInLoader(1000);
  EXPECT_EQ(f.Feed("CC"), 2u);
  EXPECT_EQ(f.form.RxMode, RxMode::LoaderWait);
  EXPECT_TRUE(f.Blocks().empty());
  EXPECT_EQ(f.Feed("CC\x15xyz"), 1u) << "the rest of the chunk after the third C is dropped";
  EXPECT_EQ(f.form.RxMode, RxMode::Transfer);
  ASSERT_EQ(f.driver.writes().size(), 1u);
  EXPECT_EQ(f.driver.writes()[0], ExpectedBlock(1, f.form.Programmer.ImageBuffer.data()))
      << "the first block: 01 01 FE, the first 128 bytes, CRC high byte first";
  EXPECT_TRUE(f.form.Timer1.enabled());
}

TEST_F(ProcedureTest, AnyOtherByteStartsTheCountAgain) {
  ReadyInLoader(1000);
  f.Feed("CC");
  f.Feed("x");
  f.Feed("C");
  EXPECT_EQ(f.form.RxMode, RxMode::LoaderWait);
  EXPECT_TRUE(f.driver.writes().empty());
  EXPECT_EQ(f.form.Programmer.Sender.LoaderCCount(), 1);
  // Inside other text the module prints, three in a row still count.
  EXPECT_EQ(f.Feed("boot v1.2 CxCCCC"), 15u);
  EXPECT_EQ(f.form.RxMode, RxMode::Transfer);
  EXPECT_EQ(f.Blocks().size(), 1u);
}

TEST_F(ProcedureTest, TheReceiveHandlerDropsWhatFollowsTheThirdStartRequest) {
  ReadyInLoader(1000);
  f.driver.receive(Bytes{'C', 'C'});
  // Were the ACK after the third C handed on, block 2 would follow.
  f.driver.receive(Bytes{'C', kAck, kAck});
  EXPECT_EQ(f.Blocks().size(), 1u);
  f.driver.receive(Bytes{kAck});
  EXPECT_EQ(f.Blocks().size(), 2u);
}

TEST_F(ProcedureTest, InTransferOnlyAckAndNakCount) {
  ReadyInLoader(1000);
  StartTransfer();
  f.Feed(Bytes{'C', 0x18, 0x18, 'C', 'C', 'C', 0x00});
  EXPECT_EQ(f.Blocks().size(), 1u) << "stray start requests and cancel bytes are ignored";
  EXPECT_EQ(f.form.RxMode, RxMode::Transfer);
}

// ---- Blocks ----------------------------------------------------------------------------

TEST_F(ProcedureTest, BlocksAreNumberedOnFrom255To0AndCarryTheImageInOrder) {
  const std::size_t blocks = 300;
  ReadyInLoader(blocks * 128 - 50);  // the last block ends with 50 pad bytes
  StartTransfer();
  for (std::size_t i = 1; i < blocks; ++i) ASSERT_EQ(f.Feed(Bytes{kAck}), 1u);
  const std::vector<Bytes> sent = f.Blocks();
  ASSERT_EQ(sent.size(), blocks);
  const Bytes padded = testing::Padded(file);
  for (std::size_t i = 0; i < blocks; ++i) {
    EXPECT_EQ(sent[i], ExpectedBlock(static_cast<std::uint8_t>((i + 1) % 256), &padded[i * 128]))
        << "block " << i + 1;
  }
  EXPECT_EQ(sent[254][1], 255);
  EXPECT_EQ(sent[255][1], 0);
  EXPECT_EQ(sent[255][2], 255);
  EXPECT_EQ(sent[256][1], 1);
  EXPECT_EQ(f.form.RxMode, RxMode::Transfer) << "the last block is not yet acknowledged";
}

TEST_F(ProcedureTest, ARejectedBlockGoesAgainWithItsNumberThenTheNextFollows) {
  ReadyInLoader(20 * 128);
  StartTransfer();
  for (int i = 1; i < 7; ++i) f.Feed(Bytes{kAck});  // block 7 is out
  f.Feed(Bytes{kNak});
  f.Feed(Bytes{kAck});
  const std::vector<Bytes> sent = f.Blocks();
  ASSERT_EQ(sent.size(), 9u);
  EXPECT_EQ(sent[6], sent[7]) << "block 7 again, byte for byte";
  EXPECT_EQ(sent[7][1], 7);
  EXPECT_EQ(sent[8][1], 8);
  EXPECT_EQ(sent[8], ExpectedBlock(8, &f.form.Programmer.ImageBuffer[7 * 128]));
}

TEST_F(ProcedureTest, RejectionsOfDifferentBlocksNeverAddUp) {
  ReadyInLoader(4 * 128);
  StartTransfer();
  // Block 1 three times rejected, then accepted; block 2 likewise; then 3 and 4.
  EXPECT_EQ(f.Feed(Bytes{kNak, kNak, kNak, kAck, kNak, kNak, kNak, kAck}), 8u);
  EXPECT_EQ(f.form.RxMode, RxMode::Transfer);
  EXPECT_TRUE(PortIsOpen());
  f.Feed(Bytes{kAck});
  f.Feed(Bytes{kAck});
  const std::vector<Bytes> sent = f.Blocks();
  ASSERT_EQ(sent.size(), 10u);
  const int numbers[] = {1, 1, 1, 1, 2, 2, 2, 2, 3, 4};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(sent[i][1], numbers[i]) << i;
  EXPECT_EQ(f.LastLine(), Stamped(">>Loading completed"));
}

TEST_F(ProcedureTest, TheFourthRejectionInARowAbortsAfterTheFourthRepeat) {
  ReadyInLoader(10 * 128);
  StartTransfer();
  f.Feed(Bytes{kAck, kAck});  // block 3 is out
  EXPECT_EQ(f.Feed(Bytes{kNak, kNak, kNak}), 3u);
  EXPECT_TRUE(PortIsOpen());
  // Neither flag belongs to the transfer: the abort leaves them as they are.
  f.form.ProgramRequested = true;
  f.form.SetReconnectAfterProgramming(1);
  EXPECT_EQ(f.Feed(Bytes{kNak, kAck, kAck}), 1u) << "the rest of the chunk is dropped";
  EXPECT_TRUE(f.form.ProgramRequested);
  EXPECT_EQ(f.form.ReconnectAfterProgramming(), 1);

  const std::vector<Bytes> sent = f.Blocks();
  ASSERT_EQ(sent.size(), 7u) << "blocks 1, 2, 3 and block 3 four times again";
  for (int i = 2; i < 7; ++i) EXPECT_EQ(sent[i][1], 3);
  EXPECT_FALSE(PortIsOpen());
  EXPECT_EQ(f.form.RxMode, RxMode::Idle);
  EXPECT_FALSE(f.form.Timer1.enabled());
  EXPECT_EQ(f.LastLine(), Stamped(">>Data loading has been canceled because of multiple errors!"));
  EXPECT_TRUE(f.form.SpeedButtonSynch.enabled());
  EXPECT_EQ(f.form.SpeedButtonSynch.caption(), "Connect");
  EXPECT_FALSE(f.form.SpeedButtonProgram.enabled());
  EXPECT_TRUE(f.form.PortComboBox.enabled());
  EXPECT_TRUE(f.form.ProtocolComboBox.enabled());
  EXPECT_TRUE(f.form.BaudComboBox.enabled()) << "all three, whatever the protocol";
  EXPECT_FALSE(f.form.DeviceIdentified);
  EXPECT_TRUE(f.form.SpeedButtonOpen.enabled());
  EXPECT_TRUE(f.dialogs.messages.empty()) << "no box";
  EXPECT_FALSE(f.form.TimerRestart.enabled());
  // Nothing more goes out, whatever still arrives.
  f.loop.advance(1s);
  EXPECT_EQ(f.Blocks().size(), 7u);
}

// ---- Completion ------------------------------------------------------------------------

struct CompletionCase {
  std::size_t size;
  int retryCount;  // where the restart wait starts counting
};

void PrintTo(const CompletionCase& c, std::ostream* out) {
  *out << c.size << " bytes";
}

class CompletionTest : public ProcedureTest,
                       public ::testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionTest, EotNoticeAndTheRestartWait) {
  const CompletionCase c = GetParam();
  ReadyInLoader(c.size);
  StartTransfer();
  const std::size_t blocks = (c.size + 127) / 128;
  for (std::size_t i = 1; i < blocks; ++i) ASSERT_EQ(f.Feed(Bytes{kAck}), 1u);
  f.Feed(Bytes{kAck, kAck, kNak});  // the last ACK; the rest is dropped

  ASSERT_EQ(f.Blocks().size(), blocks);
  EXPECT_EQ(f.driver.writes().back(), Bytes{0x04}) << "EOT, once";
  EXPECT_EQ(f.driver.writes().size(), blocks + 1);
  const std::string kb = std::to_string(blocks * 128 / 1024);
  const std::size_t n = f.Lines().size();
  ASSERT_GE(n, 2u);
  EXPECT_EQ(f.Lines()[n - 2], Stamped(">>File Size " + kb + "kB (" + kb + "kB)"));
  EXPECT_EQ(f.Lines()[n - 1], Stamped(">>Loading completed"));
  EXPECT_EQ(f.form.RxMode, RxMode::Idle);
  EXPECT_FALSE(f.form.BitBtn1.enabled());
  EXPECT_FALSE(f.form.SpeedButton1.enabled());
  EXPECT_TRUE(f.dialogs.devProgVisible);
  EXPECT_EQ(f.form.RetryCount, c.retryCount);
  EXPECT_TRUE(f.form.TimerRestart.enabled());
  EXPECT_EQ(f.form.TimerRestart.tag(), 0);
  EXPECT_FALSE(f.form.Timer1.enabled());
  EXPECT_TRUE(PortIsOpen()) << "the restart wait closes the port";
}

INSTANTIATE_TEST_SUITE_P(ImageSizes, CompletionTest,
                         ::testing::Values(CompletionCase{128, 19},  // one block
                                           CompletionCase{65536, 19}, CompletionCase{130944, 19},
                                           CompletionCase{130945, 0},  // rounds up to 131072
                                           CompletionCase{131072, 0}),
                         [](const auto& info) { return std::to_string(info.param.size); });

TEST_F(ProcedureTest, InTestModeTheWindowStaysConnectedAfterCompletion) {
  f.form.TestMode = true;
  ReadyInLoader(256);
  StartTransfer();
  f.Feed(Bytes{kAck});
  EXPECT_EQ(f.Feed(Bytes{kAck}), 1u);
  EXPECT_EQ(f.driver.writes().back(), Bytes{0x04});
  EXPECT_EQ(f.LastLine(), Stamped(">>Loading completed"));
  EXPECT_EQ(f.form.RxMode, RxMode::Idle);
  EXPECT_TRUE(PortIsOpen());
  EXPECT_TRUE(f.form.SpeedButtonSynch.enabled());
  EXPECT_TRUE(f.form.SpeedButtonOpen.enabled());
  EXPECT_TRUE(f.form.SpeedButtonProgram.enabled()) << "identified, and a file is chosen";
  EXPECT_FALSE(f.dialogs.devProgVisible);
  EXPECT_FALSE(f.form.TimerRestart.enabled());
  EXPECT_TRUE(f.form.BitBtn1.enabled());
  EXPECT_TRUE(f.form.SpeedButton1.enabled());
}

// ---- Progress line ---------------------------------------------------------------------

TEST_F(ProcedureTest, TheProgressLineIsRewrittenAtMostEveryHundredMilliseconds) {
  ReadyInLoader(64 * 1024);
  const std::string head = Stamped(">>File Size 64kB ");
  EXPECT_EQ(f.LastLine(), head + "(0kB)");
  const std::size_t lines = f.Lines().size();
  int changes = 0;
  f.form.Memo1.setListener([&] { ++changes; });

  StartTransfer();                                  // block 1 at 0 ms
  for (int i = 0; i < 7; ++i) f.Feed(Bytes{kAck});  // eight blocks: 1 kB
  f.loop.advance(60ms);
  f.Feed(Bytes{kAck});  // block 9 at 60 ms does not restart the timer
  EXPECT_EQ(changes, 0);
  f.loop.advance(39ms);
  EXPECT_EQ(changes, 0);
  f.loop.advance(1ms);  // 100 ms after block 1
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(f.LastLine(), Stamped(">>File Size 64kB (1kB)"));
  EXPECT_FALSE(f.form.Timer1.enabled()) << "one-shot";
  f.loop.advance(500ms);
  EXPECT_EQ(changes, 1) << "no block, no update";

  f.Feed(Bytes{kAck});
  f.loop.advance(100ms);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(f.Lines().size(), lines) << "the line is rewritten in place";
}

TEST_F(ProcedureTest, RepeatedBlocksCountInTheProgressAgain) {
  ReadyInLoader(8 * 128);
  StartTransfer();
  for (int i = 0; i < 8; ++i) f.Feed(Bytes{kNak, kAck});  // every block goes twice
  const std::size_t n = f.Lines().size();
  EXPECT_EQ(f.Lines()[n - 2], Stamped(">>File Size 1kB (2kB)"));
  EXPECT_EQ(f.Lines()[n - 1], Stamped(">>Loading completed"));
}

// ---- The Programming button --------------------------------------------------------------

struct LoaderEntryCase {
  RxMode mode;
  const char* model;
  Bytes command;
  const char* inImage = nullptr;  // when not the model itself
};

TEST(ProgrammingButton, TheLoaderEntryCommandSuitsTheModel) {
  const LoaderEntryCase cases[] = {
      {RxMode::Nmea, "KAP41", FrameNmeaSentence(SentenceLoaderB)},
      {RxMode::Nmea, "dov42", FrameNmeaSentence(SentenceLoaderB)},
      {RxMode::Nmea, "RTK", FrameNmeaSentence(SentenceLoaderC)},
      {RxMode::Nmea, "rta", FrameNmeaSentence(SentenceLoaderC)},
      {RxMode::Nmea, "RTM77", FrameNmeaSentence(SentenceLoaderC), "RTK77"},
      {RxMode::Nmea, "RTK2", FrameNmeaSentence(SentenceLoaderR)},
      {RxMode::Nmea, "KAP43", FrameNmeaSentence(SentenceLoaderR)},
      {RxMode::Binr, "KAP42", FrameBinrMessage(MsgLoaderB)},
      {RxMode::Binr, "RTK", FrameBinrMessage(MsgLoaderR)},
      {RxMode::Binr, "ZR55M", FrameBinrMessage(MsgLoaderR)},
  };
  for (const LoaderEntryCase& c : cases) {
    SCOPED_TRACE(c.model);
    CaptureForm f;
    f.Connected(c.mode, 115200, c.model);
    f.ChooseFile("fw.bin", testing::SmallImage(2000, {c.inImage ? c.inImage : c.model}));
    f.form.SpeedButtonProgram.click();
    ASSERT_EQ(f.driver.writes().size(), 1u);
    EXPECT_EQ(f.driver.writes()[0], c.command);
    EXPECT_EQ(f.form.RxMode, RxMode::LoaderWait);
    EXPECT_EQ(f.form.Programmer.Sender.LoaderCCount(), 0);
    EXPECT_FALSE(f.form.ProgramRequested);
    EXPECT_FALSE(f.form.SpeedButtonProgram.enabled());
    EXPECT_FALSE(f.form.SpeedButtonSynch.enabled());
    EXPECT_FALSE(f.form.SpeedButtonOpen.enabled());
    EXPECT_TRUE(f.form.SpeedButton1.enabled());
    EXPECT_TRUE(f.form.BitBtn1.enabled());
    EXPECT_EQ(f.LastLine(), Stamped(">>File Size 2kB (0kB)"));
  }
}

struct RateCase {
  RxMode mode;
  std::uint32_t baud;
  bool fast;
  std::uint32_t newRate;  // 0: programming starts at once
};

TEST(ProgrammingButton, TheRateChoice) {
  const RateCase cases[] = {
      {RxMode::Nmea, 4800, false, 115200},  {RxMode::Nmea, 57600, false, 115200},
      {RxMode::Nmea, 115200, false, 0},     {RxMode::Nmea, 230400, false, 0},
      {RxMode::Nmea, 57600, true, 230400},  {RxMode::Nmea, 115200, true, 230400},
      {RxMode::Nmea, 230400, true, 0},      {RxMode::Binr, 9600, false, 115200},
      {RxMode::Binr, 115200, true, 230400}, {RxMode::Binr, 115200, false, 0},
  };
  for (const RateCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.baud) + (c.fast ? " /b" : "") +
                 (c.mode == RxMode::Binr ? " BINR" : " NMEA"));
    CaptureForm f;
    f.form.FastProgramming = c.fast;
    f.Connected(c.mode, c.baud, "KAP41");
    f.ChooseFile("fw.bin", testing::SmallImage(2000, {"KAP41"}));
    f.form.SpeedButtonProgram.click();
    EXPECT_EQ(f.dialogs.attentionShown, 1);
    EXPECT_FALSE(f.form.SpeedButtonProgram.enabled());
    EXPECT_FALSE(f.form.SpeedButtonSynch.enabled());
    ASSERT_EQ(f.driver.writes().size(), 1u);
    if (c.newRate == 0) {
      EXPECT_EQ(f.form.RxMode, RxMode::LoaderWait);
      EXPECT_FALSE(f.form.ProgramRequested);
      EXPECT_FALSE(f.form.TimerRestart.enabled());
      continue;
    }
    const bool fast = c.newRate == 230400;
    const Bytes command =
        c.mode == RxMode::Nmea
            ? FrameNmeaSentence(fast ? SentenceRate230400 : SentenceRate115200)
            : FrameBinrMessage(fast ? std::span<const std::uint8_t>(MsgRate230400)
                                    : std::span<const std::uint8_t>(MsgRate115200));
    EXPECT_EQ(f.driver.writes()[0], command);
    EXPECT_EQ(f.LastLine(), Stamped(">>COM-port baudrate have been changed to " +
                                    std::to_string(c.newRate) + " for device programming!"));
    EXPECT_EQ(f.form.RxMode, c.mode) << "the module is asked first; loader entry comes later";
    EXPECT_TRUE(f.form.ProgramRequested);
    EXPECT_TRUE(f.form.TimerRestart.enabled());
    EXPECT_EQ(f.form.TimerRestart.tag(), 1);
    EXPECT_EQ(f.driver.line().baud, c.baud) << "the port follows only later";
  }
}

TEST(ProgrammingButton, TheSelectorsShowTheLinkInUse) {
  const struct {
    RxMode mode;
    std::uint32_t baud;
    const char* protocol;  // shown afterwards
    const char* rate;
  } cases[] = {
      {RxMode::Nmea, 115200, "NMEA", "115200"},
      {RxMode::Binr, 57600, "BINR", "57600"},
      {RxMode::Nmea, 4800, "NMEA", "4800"},
      {RxMode::Nmea, 148874, "Auto", "Auto"},  // no such item: both stay
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    CaptureForm f;
    ASSERT_EQ(f.form.ProtocolComboBox.text(), "Auto");
    ASSERT_EQ(f.form.BaudComboBox.text(), "Auto");
    f.Connected(c.mode, c.baud, "KAP41");
    f.ChooseFile("fw.bin", testing::SmallImage(2000, {"KAP41"}));
    f.form.SpeedButtonProgram.click();
    EXPECT_EQ(f.form.ProtocolComboBox.text(), c.protocol);
    EXPECT_EQ(f.form.BaudComboBox.text(), c.rate);
  }
}

TEST(ProgrammingButton, DecliningTheWarningOnlyEnablesOpen) {
  CaptureForm f;
  f.Connected(RxMode::Nmea, 57600, "KAP41");
  f.ChooseFile("fw.bin", testing::SmallImage(2000, {"KAP41"}));
  f.dialogs.attentionAnswer = ModalResult::Cancel;
  const std::size_t lines = f.Lines().size();
  f.form.SpeedButtonProgram.click();
  EXPECT_EQ(f.dialogs.attentionShown, 1);
  EXPECT_TRUE(f.driver.writes().empty());
  EXPECT_EQ(f.Lines().size(), lines);
  EXPECT_TRUE(f.form.SpeedButtonOpen.enabled());
  EXPECT_TRUE(f.form.SpeedButtonProgram.enabled());
  EXPECT_TRUE(f.form.SpeedButtonSynch.enabled());
  EXPECT_EQ(f.form.ProtocolComboBox.text(), "Auto") << "selectors untouched";
  EXPECT_EQ(f.form.RxMode, RxMode::Nmea);
  EXPECT_FALSE(f.form.ProgramRequested);
  EXPECT_FALSE(f.form.TimerRestart.enabled());
  EXPECT_TRUE(PortIsOpen());
}

// ---- Cancel ----------------------------------------------------------------------------

const char* const kAdvice =
    "FW loading procedure canceled\n\n Please wait at least 60 seconds before\n next attempt to "
    "connect with the device\n Another option is to restart device manually!";

void ExpectCancelledControls(const TMainForm& form) {
  EXPECT_FALSE(PortIsOpen());
  EXPECT_TRUE(form.SpeedButtonSynch.enabled());
  EXPECT_EQ(form.SpeedButtonSynch.caption(), "Connect");
  EXPECT_TRUE(form.PortComboBox.enabled());
  EXPECT_TRUE(form.ProtocolComboBox.enabled());
  EXPECT_FALSE(form.SpeedButtonProgram.enabled());
  EXPECT_FALSE(form.DeviceIdentified);
  EXPECT_FALSE(form.ProgramRequested);
  EXPECT_EQ(form.ReconnectAfterProgramming(), 0);
  for (const Timer* t : {&form.TimerProtocol, &form.TimerAutoBaudBinr, &form.TimerAutoBaudNmea,
                         &form.Timer1, &form.TimerSynchBINR, &form.TimerSynchNMEA}) {
    EXPECT_FALSE(t->enabled());
  }
}

TEST_F(ProcedureTest, CancelWhileWaitingForTheLoaderWarns) {
  ReadyInLoader(1000);
  f.Feed("CC");
  f.form.ProtocolComboBox.setItemIndex(0);  // as if the user had left "Auto"
  f.form.SpeedButton1.click();
  ExpectCancelledControls(f.form);
  EXPECT_EQ(f.LastLine(), Stamped(">>The process is aborted"));
  ASSERT_EQ(f.dialogs.messages.size(), 1u);
  EXPECT_EQ(f.dialogs.messages[0].first, "Warning");
  EXPECT_EQ(f.dialogs.messages[0].second, kAdvice);
  EXPECT_EQ(f.form.RxMode, RxMode::Idle);
  EXPECT_FALSE(f.form.SpeedButtonOpen.enabled()) << "Open stays as it was";
  EXPECT_FALSE(f.form.BaudComboBox.enabled()) << "protocol Auto";
}

TEST(Cancel, WhenMerelyConnectedItAbortsWithoutABox) {
  CaptureForm f;
  f.Connected(RxMode::Binr, 115200, "KAP41");
  f.form.SpeedButton1.click();
  ExpectCancelledControls(f.form);
  EXPECT_EQ(f.LastLine(), Stamped(">>The process is aborted"));
  EXPECT_TRUE(f.dialogs.messages.empty());
  EXPECT_EQ(f.form.RxMode, RxMode::Binr) << "left as it was";
}

TEST(Cancel, AtTheEndOfTheReconnectItWritesNoAbortLine) {
  CaptureForm f;
  f.Connected(RxMode::Nmea, 115200, "KAP41");
  f.form.SetReconnectAfterProgramming(1);
  const std::size_t lines = f.Lines().size();
  f.form.SpeedButton1.click();
  ExpectCancelledControls(f.form);
  EXPECT_EQ(f.Lines().size(), lines);
}

TEST(Cancel, LeavesTheRestartWaitRunningButStopsAPendingRateSwitch) {
  {
    CaptureForm f;
    f.Connected(RxMode::Nmea, 57600, "KAP41");
    f.ChooseFile("fw.bin", testing::SmallImage(2000, {"KAP41"}));
    f.form.SpeedButtonProgram.click();
    ASSERT_EQ(f.form.TimerRestart.tag(), 1);
    f.form.SpeedButton1.click();
    ExpectCancelledControls(f.form);
    EXPECT_FALSE(f.form.TimerRestart.enabled());
    EXPECT_EQ(f.form.TimerRestart.tag(), 0);
  }
  {
    CaptureForm f;
    f.Connected(RxMode::Nmea, 115200, "KAP41");
    f.form.TimerRestart.setEnabled(true);  // the wait after programming
    f.form.SpeedButton1.click();
    EXPECT_TRUE(f.form.TimerRestart.enabled());
  }
}

TEST(Cancel, ClosesTheTrafficLog) {
  CaptureForm f;
  f.Connected(RxMode::Nmea, 115200, "KAP41");
  f.form.LogEnabled = true;
  f.form.LogFile.reset(std::tmpfile());
  ASSERT_NE(f.form.LogFile, nullptr);
  f.form.SpeedButton1.click();
  EXPECT_EQ(f.form.LogFile, nullptr);
}

}  // namespace
}  // namespace movrand
