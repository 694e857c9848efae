// Flashing movrand-sim on a pseudo-terminal through the on-screen program: connect, choose
// the image, press Programming, confirm with Enter, and wait for the module to come back.
// The module writes what it received; it must equal the file padded with 0x1A to whole
// 128-byte blocks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "comm/comm.h"
#include "program_fixture.h"
#include "qt_app_environment.h"
#include "support/sim_process.h"

namespace movrand {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::SimProcess;

// CRC-32 bit by bit (reflected 0xEDB88320), independent of the program's table.
std::uint32_t BitwiseCrc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}

// An image for the module "KAP41": small ones are the bytes alone, large ones get the
// length and CRC-32 header.
Bytes MakeImage(std::size_t size) {
  Bytes image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  const std::string model = "KAP41";
  std::copy(model.begin(), model.end(), image.begin() + 64);
  if (size >= 131072) {
    const auto put = [&](std::size_t at, std::uint32_t v) {
      for (int b = 0; b < 4; ++b) image[at + b] = static_cast<std::uint8_t>(v >> (8 * b));
    };
    put(0, static_cast<std::uint32_t>(size - 8));
    put(4, BitwiseCrc32(image.data() + 8, size - 8));
  }
  return image;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Case {
  const char* name;
  std::vector<std::string> simArgs;
  const char* protocol;  // selectors at connect
  const char* baud;
  std::size_t imageSize;
  const char* lastLine;  // how the run ends
  bool imageWritten;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class ProgrammingEndToEnd : public ::testing::TestWithParam<Case> {};

TEST_P(ProgrammingEndToEnd, Flashes) {
  const Case& c = GetParam();
  QTemporaryDir dir;
  const std::string imagePath = dir.filePath("fw.bin").toStdString();
  const std::string receivedPath = dir.filePath("received.bin").toStdString();
  const Bytes image = MakeImage(c.imageSize);
  std::ofstream(imagePath, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));

  std::vector<std::string> args = c.simArgs;
  args.insert(args.end(), {"--image-out", receivedPath, "--restart-s", "1", "--timeout-s", "120"});
  SimProcess sim(MOVRAND_SIM_PATH, args);
  ASSERT_FALSE(sim.port().empty()) << "movrand-sim did not start";

  testing::ProgramFixture fixture({{sim.portName(), "pts"}});
  TMainForm& form = fixture.form();
  fixture.window().show();
  const auto select = [](ComboBox& box, const std::string& text) {
    box.userSelect(static_cast<int>(std::find(box.items().begin(), box.items().end(), text) -
                                    box.items().begin()));
  };
  select(form.ProtocolComboBox, c.protocol);
  select(form.BaudComboBox, c.baud);
  form.SpeedButtonSynch.click();
  ASSERT_TRUE(testing::RunQtUntil([&] { return form.DeviceIdentified; }, 30000))
      << ::testing::PrintToString(form.Memo1.lines());

  form.OpenDialog1.FileName = imagePath;
  form.Edit1.setText("fw.bin");
  form.UpdateProgramButton();
  ASSERT_TRUE(form.SpeedButtonProgram.enabled());
  bool timedOut = false;
  testing::whileModal(
      [] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
          QTest::keyClick(modal->focusWidget() ? modal->focusWidget() : modal, Qt::Key_Return);
        }
      },
      [&] {
        form.SpeedButtonProgram.click();
        return 0;
      },
      timedOut);
  ASSERT_FALSE(timedOut) << "the confirmation was not shown or not answered";

  const auto ended = [&] {
    const auto& lines = form.Memo1.lines();
    return !lines.empty() && lines.back().ends_with(c.lastLine);
  };
  // A bound, not a timing: the 1 MiB image alone needs about a minute on the line and 26 s of
  // restart wait, and a machine busy with other builds stretches both.
  ASSERT_TRUE(testing::RunQtUntil(ended, 240000)) << ::testing::PrintToString(form.Memo1.lines());
  EXPECT_FALSE(PortIsOpen());
  EXPECT_NE(form.RxMode, RxMode::LoaderWait);
  EXPECT_NE(form.RxMode, RxMode::Transfer);
  EXPECT_EQ(form.SpeedButtonSynch.caption(), "Connect");

  const std::string summary = sim.stop();
  if (c.imageWritten) {
    Bytes expected = image;
    expected.resize((image.size() + 127) / 128 * 128, 0x1A);
    const Bytes received = ReadFile(receivedPath);
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "the module received another image";
    EXPECT_NE(summary.find("\"violations\":{}"), std::string::npos) << summary;
    const auto& lines = form.Memo1.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
      return l.ends_with(">>FW upgrade is FINISHED");
    }));
  } else {
    EXPECT_FALSE(std::filesystem::exists(receivedPath));
  }
}

const char* const kFinished = ">>Device is ready for normal operation";
const char* const kTooManyErrors = ">>Data loading has been canceled because of multiple errors!";

INSTANTIATE_TEST_SUITE_P(
    Modules, ProgrammingEndToEnd,
    ::testing::Values(Case{"NmeaRateChange",
                           {"--protocol", "nmea", "--baud", "57600"},
                           "Auto",
                           "Auto",
                           5000,
                           kFinished,
                           true},
                      Case{"BinrDirect",
                           {"--protocol", "binr", "--baud", "115200"},
                           "BINR",
                           "115200",
                           5000,
                           kFinished,
                           true},
                      Case{"NmeaLargeImage",
                           {"--protocol", "nmea", "--baud", "115200"},
                           "NMEA",
                           "115200",
                           1u << 20,
                           kFinished,
                           true},
                      Case{"RejectedBlocks",
                           {"--protocol", "nmea", "--baud", "115200", "--nak-blocks",
                            "1,2,3,5,9,40"},
                           "NMEA",
                           "115200",
                           6000,
                           kFinished,
                           true},
                      Case{"RejectedForever",
                           {"--protocol", "binr", "--baud", "115200", "--nak-forever", "3"},
                           "BINR",
                           "115200",
                           6000,
                           kTooManyErrors,
                           false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace movrand
