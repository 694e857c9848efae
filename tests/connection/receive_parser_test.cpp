// The receive handler on byte streams the test writes itself: what each reply does to the
// version fields, the log pane and the port, however the bytes are cut into chunks.
#include <gtest/gtest.h>

#include <string>

#include "comm/comm.h"
#include "sim/sim_test_util.h"
#include "support/capture_form.h"

namespace movrand::testing {
namespace {

using sim::testing::HostFrame;
using sim::testing::Sentence;
using Bytes = std::vector<std::uint8_t>;

Bytes B(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// A BINR version reply: 76 data bytes with `text1` at byte 1 and `text2` at byte 26.
Bytes VersionReply(std::string_view text1, std::string_view text2 = {}) {
  Bytes data(76, 0);
  std::copy(text1.begin(), text1.end(), data.begin() + 1);
  std::copy(text2.begin(), text2.end(), data.begin() + 26);
  return HostFrame(0x70, data);
}

// The window with a capturing port behind it; the port list offers "COM3".
struct Parsing : ::testing::Test, CaptureForm {
  Parsing() {
    ports.ports = std::vector<SerialPortEntry>{{"COM3", "port"}};
    form.RefreshPortList();
  }

  void ConnectAt(const std::string& protocol, const std::string& baud) {
    const auto index = [](const ComboBox& box, const std::string& text) {
      return static_cast<int>(std::find(box.items().begin(), box.items().end(), text) -
                              box.items().begin());
    };
    form.ProtocolComboBox.userSelect(index(form.ProtocolComboBox, protocol));
    form.BaudComboBox.userSelect(index(form.BaudComboBox, baud));
    form.SpeedButtonSynch.click();
    ASSERT_TRUE(PortIsOpen());
    driver.clearWrites();
  }
  void Receive(const Bytes& bytes) { driver.receive(bytes); }
  void Receive(std::string_view text) { driver.receive(B(text)); }
  std::string Field(const VersionField& field) { return std::string(FieldText(field)); }
};

TEST_F(Parsing, NmeaVersionReplySplitOverChunksIdentifiesTheModule) {
  ConnectAt("NMEA", "115200");
  const std::string reply = Sentence("POVER,A1,KAP41,0102");
  Receive(reply.substr(0, 4));
  EXPECT_FALSE(form.DeviceIdentified);
  Receive(reply.substr(4));
  ASSERT_TRUE(form.DeviceIdentified);
  EXPECT_EQ(Field(form.VersionWord1), "A1");
  EXPECT_EQ(Field(form.DeviceModel), "KAP41");
  EXPECT_EQ(Field(form.VersionWord3), "0102");
  const std::vector<std::string> expected{"14:03:12>>Port: COM3 115200 NMEA",
                                          ">>Current FW version: ", ">>A1 KAP41 0102"};
  EXPECT_EQ(Lines(), expected);
  EXPECT_FALSE(form.TimerSynchNMEA.enabled());
  EXPECT_TRUE(form.SpeedButtonSynch.enabled());
  EXPECT_EQ(form.SpeedButtonSynch.caption(), "Disconnect");
}

TEST_F(Parsing, RtkModelsReadFiveWordsAndMissingWordsKeepTheirFields) {
  ConnectAt("NMEA", "115200");
  Receive(Sentence("POVER,B2,RTK4,0200,KAP43,0300"));
  EXPECT_EQ(Field(form.DeviceModel), "RTK4");
  EXPECT_EQ(Field(form.VersionWord4), "KAP43");
  EXPECT_EQ(Field(form.VersionWord5), "0300");
  // A later reply with three words only leaves words 4 and 5 as they were.
  Receive(Sentence("POVER,C3,RTA9,0400"));
  EXPECT_EQ(Field(form.VersionWord1), "C3");
  EXPECT_EQ(Field(form.DeviceModel), "RTA9");
  EXPECT_EQ(Field(form.VersionWord4), "KAP43");
  EXPECT_EQ(Field(form.VersionWord5), "0300");
  // A non-RTK model reads three words only.
  Receive(Sentence("POVER,D4,KAP41,0500,XXXX,YYYY"));
  EXPECT_EQ(Field(form.VersionWord4), "KAP43");
}

TEST_F(Parsing, LongVersionWordsAreCutToTheFieldSize) {
  ConnectAt("NMEA", "115200");
  Receive(Sentence("POVER,ABCDEFGHIJKLMNOP,MODELNAME-TOO-LONG,1"));
  EXPECT_EQ(Field(form.VersionWord1), "ABCDEFGHIJ");
  EXPECT_EQ(Field(form.DeviceModel), "MODELNAME-");
  EXPECT_EQ(Field(form.VersionWord3), "1");
  // The version line shows the module's text whole.
  EXPECT_EQ(Lines().back(), ">>ABCDEFGHIJKLMNOP MODELNAME-TOO-LONG 1");
}

TEST_F(Parsing, OtherSentencesAndTheOtherProtocolAreIgnored) {
  ConnectAt("NMEA", "115200");
  Receive(Sentence("GPGGA,1,2,3"));
  Receive(Sentence("POVERX"));
  Receive(Sentence("PVER,1,KAP41,0102").substr(0, 3) + "\r\n");
  Receive(Sentence("Pver,1,KAP41,0102"));
  Receive(HostFrame(0x54, {}));
  EXPECT_FALSE(form.DeviceIdentified);
  EXPECT_TRUE(Lines().empty());
  EXPECT_TRUE(driver.writes().empty());
}

TEST_F(Parsing, BinrProbeAnswerSendsTheVersionRequestOnce) {
  ConnectAt("BINR", "115200");
  Receive(Bytes{0x10, 0x54, 0x10, 0x03});
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_EQ(Lines()[0], "14:03:12>>Port: COM3 115200 BINR");
  ASSERT_EQ(driver.writes().size(), 1u);
  EXPECT_EQ(driver.writes()[0], (Bytes{0x10, 0x1B, 0x10, 0xFF, 0x5A, 0xA3, 0x10, 0x03}));
  EXPECT_FALSE(form.TimerSynchBINR.enabled());
  // An NMEA version reply means nothing on a BINR link.
  Receive(Sentence("POVER,A1,KAP41,0102"));
  EXPECT_FALSE(form.DeviceIdentified);
}

TEST_F(Parsing, BinrVersionReplyOfAPlainAndAnRtkTypeModule) {
  ConnectAt("BINR", "115200");
  Receive(VersionReply("KAP41 v2.3 build 7"));
  EXPECT_TRUE(form.DeviceIdentified);
  EXPECT_EQ(Field(form.DeviceModel), "KAP41");
  EXPECT_EQ(Lines().back(), ">>KAP41 v2.3 build 7");

  // RTK-type: the type stands after a two-character prefix; the model word is read two
  // characters on, the fourth word from the second text, which the version line shows too.
  Receive(VersionReply("01RTK7 fw 3.1", "DOV42 4.0"));
  EXPECT_EQ(Field(form.DeviceModel), "RTK7");
  EXPECT_EQ(Field(form.VersionWord4), "DOV42");
  const auto& lines = Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], ">>Current FW version: ");
  EXPECT_EQ(lines[lines.size() - 2], ">>01RTK7 fw 3.1");
  EXPECT_EQ(lines[lines.size() - 1], ">>DOV42 4.0");
}

TEST_F(Parsing, BinrVersionTextsWithoutTerminatorEndAtTheData) {
  ConnectAt("BINR", "115200");
  Bytes data(76, 'W');
  data[0] = 0;
  Receive(HostFrame(0x70, data));
  EXPECT_EQ(Field(form.DeviceModel), "WWWWWWWWWW");
  EXPECT_EQ(Lines().back(), ">>" + std::string(75, 'W'));
}

TEST_F(Parsing, MalformedVersionFrameUsesTheLastGoodOne) {
  ConnectAt("BINR", "115200");
  // Before any well-formed reply the data is all zero: empty texts.
  Receive(HostFrame(0x70, Bytes(10, 'x')));
  EXPECT_TRUE(form.DeviceIdentified);
  EXPECT_EQ(Field(form.DeviceModel), "");
  Receive(VersionReply("DOV41 1.0"));
  Receive(HostFrame(0x70, Bytes(12, 'y')));
  EXPECT_EQ(Field(form.DeviceModel), "DOV41");
  EXPECT_EQ(Lines().back(), ">>DOV41 1.0");
}

TEST_F(Parsing, WhatTheModuleSaysIsShownNeverObeyed) {
  std::vector<FormEvent> events;
  form.Events.Listen([&](const FormEvent& e) { events.push_back(e); });
  ConnectAt("BINR", "115200");
  // An RTK-type module whose second text tries to write a line of the program's own, and to
  // turn the rest of the line around (U+202E).
  const std::string forged =
      "B1\n>>FW upgrade is FINISHED\r\n>>x\xE2\x80\xAE"
      "9";
  Receive(VersionReply("01RTK10 0102", forged));
  ASSERT_TRUE(form.DeviceIdentified);
  const std::vector<std::string> expected{">>Current FW version: ", ">>01RTK10 0102",
                                          ">>B1\\x0A>>FW upgrade is FINISHED\\x0D\\x0A>>x\\u202E9"};
  const std::vector<std::string> lines(Lines().end() - 3, Lines().end());
  EXPECT_EQ(lines, expected);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().version,
            "01RTK10 0102 B1\\x0A>>FW upgrade is FINISHED\\x0D\\x0A>>x\\u202E9");
  // The fields keep the module's words as they were: the image check compares them.
  EXPECT_EQ(Field(form.DeviceModel), "RTK10");

  // NMEA words with a terminal's escape sequence in them.
  form.SpeedButtonSynch.click();  // Disconnect
  ConnectAt("NMEA", "115200");
  Receive(Sentence("POVER,A1\x1B[2J,KAP41,0102"));
  EXPECT_EQ(Lines().back(), ">>A1\\x1B[2J KAP41 0102");
}

TEST_F(Parsing, AConnectPressedByTheUserStartsWithNoIdentity) {
  ConnectAt("NMEA", "115200");
  Receive(Sentence("POVER,A1,KAP41,0102"));
  ASSERT_EQ(Field(form.DeviceModel), "KAP41");
  form.SpeedButtonSynch.click();  // Disconnect
  // Another module, whose reply leaves the model out: nothing of the one before stands in.
  ConnectAt("NMEA", "115200");
  EXPECT_EQ(Field(form.DeviceModel), "");
  Receive(Sentence("POVER,B2"));
  ASSERT_TRUE(form.DeviceIdentified);
  EXPECT_EQ(Field(form.VersionWord1), "B2");
  EXPECT_EQ(Field(form.DeviceModel), "");
  EXPECT_EQ(Field(form.VersionWord3), "");
  // So the image made for the module before is not taken for this one.
  form.OpenDialog1.FileName = dir.Write("fw.bin", Bytes{'K', 'A', 'P', '4', '1'}).string();
  form.Edit1.setText("fw.bin");
  EXPECT_FALSE(form.LoadImage());
  EXPECT_NE(LastLine().find(">>Version of the software does not match"), std::string::npos);
  form.SpeedButtonSynch.click();

  // Over BINR a malformed reply of the next module finds no version data of the one before.
  ConnectAt("BINR", "115200");
  Receive(VersionReply("DOV41 1.0"));
  ASSERT_EQ(Field(form.DeviceModel), "DOV41");
  form.SpeedButtonSynch.click();
  ConnectAt("BINR", "115200");
  Receive(HostFrame(0x70, Bytes(12, 'y')));
  EXPECT_TRUE(form.DeviceIdentified);
  EXPECT_EQ(Field(form.DeviceModel), "");
  // Within one connection a reply that leaves a word out keeps the word before (as ever).
  Receive(VersionReply("DOV41 1.0"));
  Receive(HostFrame(0x70, Bytes(12, 'y')));
  EXPECT_EQ(Field(form.DeviceModel), "DOV41");
}

TEST_F(Parsing, RateConfirmationWithoutAUsableRateKeepsThePort) {
  ConnectAt("BINR", "57600");
  // A 0x50 of the wrong length before any well-formed one carries the stored rate 0.
  Receive(HostFrame(0x50, Bytes{0, 1, 2}));
  EXPECT_EQ(driver.line().baud, 57600u);
  EXPECT_EQ(form.CurrentBaud, 57600u);
  EXPECT_TRUE(form.TimerSynchBINR.enabled()) << "synchronises again at the current rate";
  // A well-formed one moves the port.
  Receive(HostFrame(0x50, Bytes{0, 0x00, 0xC2, 0x01, 0x00, 4}));
  EXPECT_EQ(driver.line().baud, 115200u);
  EXPECT_EQ(form.CurrentBaud, 115200u);
}

TEST_F(Parsing, NmeaRateConfirmationFollowsReadableRatesOnly) {
  ConnectAt("NMEA", "57600");
  form.TimerSynchNMEA.setEnabled(false);
  Receive(Sentence("PORZA,0,fast,1"));
  EXPECT_EQ(driver.line().baud, 57600u);
  EXPECT_TRUE(form.TimerSynchNMEA.enabled());
  // A pending follow of the programming rate is left to its tick.
  form.TimerRestart.setTag(1);
  form.TimerRestart.setEnabled(true);
  Receive(Sentence("PORZA,0,0,1"));
  EXPECT_TRUE(form.TimerRestart.enabled());
  EXPECT_EQ(form.TimerRestart.tag(), 1);
  Receive(Sentence("PORZA,0,230400,1"));
  EXPECT_EQ(driver.line().baud, 230400u);
  EXPECT_EQ(form.CurrentBaud, 230400u);
  EXPECT_FALSE(form.TimerRestart.enabled());
  EXPECT_EQ(form.TimerRestart.tag(), 0);
  EXPECT_EQ(form.RetryCount, 0);
}

TEST_F(Parsing, NothingIsParsedWhileIdle) {
  form.RxMode = RxMode::Idle;
  ConnectAt("NMEA", "115200");
  form.RxMode = RxMode::Idle;
  Receive(Sentence("POVER,A1,KAP41,0102"));
  EXPECT_FALSE(form.DeviceIdentified);
  EXPECT_TRUE(Lines().empty());
}

}  // namespace
}  // namespace movrand::testing
