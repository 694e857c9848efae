// The record of a line: SHA-256 against the test vectors of FIPS 180-2, the record's line read
// back with a JSON parser, appending that never touches earlier lines, refusals at open, and
// lines that stay whole when the disk fills up or a line was torn before.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/json_events.h"
#include "cli/port_listing.h"
#include "cli/record.h"
#include "cli/sha256.h"
#include "support/error_text.h"
#include "support/pipe_path.h"
#include "support/temp_folder.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace movrand::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string Hash(std::string_view text) {
  Sha256 hash;
  hash.update(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  return hash.finishHex();
}

TEST(Sha256, TheStandardsTestVectors) {
  EXPECT_EQ(Hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Hash("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256, AMillionLettersInUnevenPiecesAndEveryLengthAroundABlock) {
  Sha256 hash;
  const std::string a(1000, 'a');
  std::size_t given = 0;
  for (std::size_t piece = 1; given < 1000000; piece = piece % 997 + 1) {
    const std::size_t take = std::min({piece, a.size(), 1000000 - given});
    hash.update(std::span(reinterpret_cast<const std::uint8_t*>(a.data()), take));
    given += take;
  }
  EXPECT_EQ(hash.finishHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // The padding's edge cases: 55, 56 and 64 bytes in one go or byte by byte give one hash.
  for (const std::size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u}) {
    const std::string text(length, 'q');
    Sha256 bytewise;
    for (const char c : text)
      bytewise.update(std::span(reinterpret_cast<const std::uint8_t*>(&c), 1));
    EXPECT_EQ(bytewise.finishHex(), Hash(text)) << length;
  }
  // 56 bytes leave no room for the length in the first block (value from coreutils sha256sum).
  EXPECT_EQ(Hash(std::string(56, 'q')),
            "f8ce2f8d6990c639668fe404262f35ed72d8bb145ad6bae786af7284447386df");
}

TEST(RecordLine, CarriesEveryFieldAndNullForWhatIsUnknown) {
  using namespace std::chrono;
  StationRecord record;
  record.time = sys_days{year{2026} / 12 / 9} + hours{10} + minutes{15} + seconds{2};
  record.port = "ttyUSB0";
  record.summary.code = ExitCode::Success;
  record.summary.protocol = "NMEA";
  record.summary.baud = 57600;
  record.summary.oldVersion = "A1 KAP41 0102";
  record.summary.newVersion = "A1 KAP41 0103";
  record.summary.sentBytes = 20096;
  record.summary.blocksRepeated = 2;
  record.image = ImageFacts{.name = "fw.bin", .bytes = 20000, .sha256 = std::string(64, 'f')};
  record.seconds = 23.44;
  const std::string line = RecordLine(record);
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
  const json j = json::parse(line);
  EXPECT_EQ(j.at("time"), "2026-12-09T10:15:02Z");
  EXPECT_EQ(j.at("port"), "ttyUSB0");
  EXPECT_EQ(j.at("protocol"), "NMEA");
  EXPECT_EQ(j.at("baud"), 57600);
  EXPECT_EQ(j.at("oldVersion"), "A1 KAP41 0102");
  EXPECT_EQ(j.at("newVersion"), "A1 KAP41 0103");
  EXPECT_EQ(j.at("image"), "fw.bin");
  EXPECT_EQ(j.at("imageBytes"), 20000);
  EXPECT_EQ(j.at("sha256"), std::string(64, 'f'));
  EXPECT_EQ(j.at("bytesSent"), 20096);
  EXPECT_EQ(j.at("blocksRepeated"), 2);
  EXPECT_DOUBLE_EQ(j.at("seconds").get<double>(), 23.4);
  EXPECT_EQ(j.at("outcome"), "success");
  EXPECT_EQ(j.at("exitCode"), 0);

  for (const char* key : {"portSerial", "portLocation", "portUsbId"}) {
    EXPECT_TRUE(j.at(key).is_null()) << key << ": a port without USB identity";
  }

  StationRecord bare;
  bare.port = "COM3";
  bare.summary.code = ExitCode::PortUnavailable;
  const json b = json::parse(RecordLine(bare));
  for (const char* key :
       {"protocol", "baud", "oldVersion", "newVersion", "image", "imageBytes", "sha256"}) {
    EXPECT_TRUE(b.at(key).is_null()) << key;
  }
  EXPECT_EQ(b.at("exitCode"), 3);
  EXPECT_EQ(b.at("time"), "1970-01-01T00:00:00Z");
}

TEST(RecordFile, AppendsAndNeverRewritesEarlierLines) {
  const fs::path folder = test::MakeTempFolder("movrand-record");
  const fs::path path = folder / "line.jsonl";
  std::ofstream(path) << "{\"earlier\":1}\n";
  for (int run = 0; run < 2; ++run) {
    RecordFile file;
    ASSERT_EQ(test::ErrorText(file.open(path)), "");
    StationRecord record;
    record.port = "pts/" + std::to_string(run);
    ASSERT_EQ(test::ErrorText(file.append(RecordLine(record))), "");
  }
  std::vector<std::string> lines;
  {
    std::ifstream in(path);  // closed before the folder goes (Windows keeps open files)
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "{\"earlier\":1}");
  EXPECT_EQ(json::parse(lines[1]).at("port"), "pts/0");
  EXPECT_EQ(json::parse(lines[2]).at("port"), "pts/1");
  fs::remove_all(folder);
}

TEST(RecordFile, AFileThatCannotBeOpenedOrIsNoPlainFileIsRefusedAtOnce) {
  RecordFile missing;
  const std::string error = test::ErrorText(missing.open("/nonexistent-folder/line.jsonl"));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  EXPECT_NE(error.find("line.jsonl for appending"), std::string::npos) << error;
  EXPECT_NE(test::ErrorText(missing.append("{}\n")), "");

  // A pipe nobody reads would hold the station before its first module; a folder or a
  // device takes no line.
  const fs::path folder = test::MakeTempFolder("movrand-record");
  {
    const test::PipePath pipe(folder);
    RecordFile file;
    const std::string refused = test::ErrorText(file.open(pipe.path()));
    EXPECT_NE(refused.find("is not a plain file"), std::string::npos) << refused;
    EXPECT_NE(test::ErrorText(file.append("{}\n")), "");
  }
  RecordFile intoFolder;
  EXPECT_NE(test::ErrorText(intoFolder.open(folder)), "");
#ifndef _WIN32
  RecordFile device;
  EXPECT_NE(test::ErrorText(device.open("/dev/full")).find("is not a plain file"),
            std::string::npos);
#endif
  fs::remove_all(folder);
}

std::vector<std::string> Lines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);  // closed before the folder goes (Windows)
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(RecordFile, ALineTornEarlierIsEndedSoEveryWholeLineParses) {
  const fs::path folder = test::MakeTempFolder("movrand-record");
  const fs::path path = folder / "line.jsonl";
  // A station that died half-way through its line, as a full disk or a kill leaves it.
  std::ofstream(path, std::ios::binary) << "{\"port\":\"pts/1\"}\n{\"port\":\"pts/2\",\"ti";
  {
    RecordFile file;
    ASSERT_EQ(test::ErrorText(file.open(path)), "");
    StationRecord record;
    record.port = "pts/3";
    ASSERT_EQ(test::ErrorText(file.append(RecordLine(record))), "");
    ASSERT_EQ(test::ErrorText(file.append(RecordLine(record))), "")
        << "a file that ends whole gets nothing more";
  }
  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(json::parse(lines[0]).at("port"), "pts/1");
  EXPECT_EQ(lines[1], "{\"port\":\"pts/2\",\"ti") << "the torn line is left as it was";
  EXPECT_EQ(json::parse(lines[2]).at("port"), "pts/3");
  EXPECT_EQ(json::parse(lines[3]).at("port"), "pts/3");
  fs::remove_all(folder);
}

#ifndef _WIN32
// Appends `lines` records of `port` to `path` in a child process whose files may not grow
// beyond `sizeLimit` bytes (the kernel then writes what fits and fails the rest, as a full
// disk does); the child's exit code is the number of appends that failed.
int AppendWithSizeLimit(const fs::path& path, rlim_t sizeLimit, int lines) {
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead of ending the process
    const rlimit limit{sizeLimit, sizeLimit};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(100);
    RecordFile file;
    if (!test::ErrorText(file.open(path)).empty()) _exit(101);
    int failed = 0;
    for (int i = 0; i < lines; ++i) {
      StationRecord record;
      record.port = "pts/" + std::to_string(i);
      record.summary.detail = std::string(100, 'x');
      if (!test::ErrorText(file.append(RecordLine(record))).empty()) ++failed;
    }
    _exit(failed);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RecordFile, ALineThatDoesNotFitIsTakenBackAndTheNextOneParses) {
  const fs::path folder = test::MakeTempFolder("movrand-record");
  const fs::path path = folder / "line.jsonl";
  std::ofstream(path, std::ios::binary) << "{\"earlier\":1}\n";
  const auto before = fs::file_size(path);
  // Room for the earlier line and a part of one more: each of the three appends fails.
  EXPECT_EQ(AppendWithSizeLimit(path, before + 150, 3), 3);
  EXPECT_EQ(fs::file_size(path), before) << "no fragment is left behind";
  // With room again (the disk was cleaned up), the next station's lines stand whole.
  EXPECT_EQ(AppendWithSizeLimit(path, RLIM_INFINITY, 2), 0);
  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "{\"earlier\":1}");
  EXPECT_EQ(json::parse(lines[1]).at("port"), "pts/0");
  EXPECT_EQ(json::parse(lines[2]).at("port"), "pts/1");
  fs::remove_all(folder);
}

// The same on a file system that really fills up: a small tmpfs (mounting needs root, as the
// test command runs).
TEST(RecordFile, AFullFileSystemLeavesNoTornLine) {
  const fs::path folder = test::MakeTempFolder("movrand-record-tmpfs");
  if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
    fs::remove_all(folder);
    GTEST_SKIP() << "no tmpfs can be mounted here (not root)";
  }
  const fs::path path = folder / "line.jsonl";
  {
    // Everything but part of the last page is taken by another file.
    std::ofstream filler(folder / "filler", std::ios::binary);
    const std::string page(4096, 'f');
    for (int i = 0; i < 15; ++i) filler << page;
  }
  RecordFile file;
  ASSERT_EQ(test::ErrorText(file.open(path)), "");
  int written = 0;
  std::string failure;
  for (int i = 0; i < 64 && failure.empty(); ++i) {
    StationRecord record;
    record.port = "pts/" + std::to_string(i);
    record.summary.detail = std::string(200, 'x');
    failure = test::ErrorText(file.append(RecordLine(record)));
    if (failure.empty()) ++written;
  }
  EXPECT_NE(failure.find("cannot write"), std::string::npos) << failure;
  EXPECT_GT(written, 0);
  // Every line in the file is whole; after the disk is cleaned up, the next line is too.
  fs::remove(folder / "filler");
  StationRecord next;
  next.port = "pts/next";
  EXPECT_EQ(test::ErrorText(file.append(RecordLine(next))), "");
  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(written) + 1);
  for (const std::string& line : lines) EXPECT_NO_THROW(json::parse(line)) << line;
  EXPECT_EQ(json::parse(lines.back()).at("port"), "pts/next");
  file = RecordFile{};
  umount(folder.c_str());
  fs::remove_all(folder);
}
#endif

TEST(Sha256Hex, OfTheBytesGiven) {
  const std::string abc = "abc";
  EXPECT_EQ(Sha256Hex(std::span(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size())),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Where the module was goes beside the port's name into the record, the module event and
// the result, so that a line of records says which socket each module sat in.
TEST(PortIdentityInRecords, TheRecordTheModuleEventAndTheResultCarryIt) {
  StationRecord record;
  record.port = "ttyUSB3";
  record.summary.code = ExitCode::Success;
  record.summary.portUsb = UsbIdentity{"0403", "6001", "A50285BI", "1-1.4.2:1.0"};
  record.module = ModuleFacts{.sequence = 4, .end = {}, .verdict = Verdict::Pass};
  for (const std::string& text :
       {RecordLine(record), ModuleEvent(record), JsonResultEvent(record.summary)}) {
    const json j = json::parse(text);
    EXPECT_EQ(j.at("portSerial"), "A50285BI") << text;
    EXPECT_EQ(j.at("portLocation"), "1-1.4.2:1.0") << text;
    EXPECT_EQ(j.at("portUsbId"), "0403:6001") << text;
  }
  const std::string line = RecordLine(record);
  EXPECT_LT(line.find("\"port\""), line.find("\"portSerial\"")) << "beside the port's name";
  EXPECT_LT(line.find("\"portUsbId\""), line.find("\"protocol\""));

  // An adapter without a serial number: only what it has.
  record.summary.portUsb = UsbIdentity{"1a86", "7523", "", "3-2:1.0"};
  const json noSerial = json::parse(RecordLine(record));
  EXPECT_TRUE(noSerial.at("portSerial").is_null());
  EXPECT_EQ(noSerial.at("portLocation"), "3-2:1.0");
}

TEST(PortList, EachPortIsTheSelectorsItemThenWhatNamesItWhateverTheSystemCallsIt) {
  const std::vector<SerialPortEntry> ports = InSelectorOrder(
      {{"ttyUSB1", "ftdi_sio", "FT232R USB UART", UsbIdentity{"0403", "6001", "A7", "1-1.3:1.0"}},
       {"ttyACM0", "cdc_acm", "Uno", UsbIdentity{"2341", "0043", "", "3-2.4.1:1.0"}},
       {"COM10", "Serial9"},
       {"com2", "Serial1"}});
  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports[0].name, "COM10") << "case-blind, by the whole item, as the selector sorts";
  EXPECT_EQ(ports[1].name, "com2");
  EXPECT_EQ(PortListLine(ports[0]), "COM10    -Serial9");
  EXPECT_EQ(
      PortListLine(ports[3]),
      "ttyUSB1    -ftdi_sio  usb-serial:A7  usb-location:1-1.3:1.0  0403:6001  FT232R USB UART");
  EXPECT_EQ(PortListLine(ports[2]),
            "ttyACM0    -cdc_acm  usb-location:3-2.4.1:1.0  2341:0043  Uno");

  const json usb = json::parse(PortListJson(ports[3]));
  EXPECT_EQ(usb.at("port"), "ttyUSB1");
  EXPECT_EQ(usb.at("vid"), "0403");
  EXPECT_EQ(usb.at("pid"), "6001");
  EXPECT_EQ(usb.at("serial"), "A7");
  EXPECT_EQ(usb.at("location"), "1-1.3:1.0");
  EXPECT_EQ(usb.at("by_serial"), "usb-serial:A7");
  EXPECT_EQ(usb.at("by_location"), "usb-location:1-1.3:1.0");
  const json noSerial = json::parse(PortListJson(ports[2]));
  EXPECT_TRUE(noSerial.at("by_serial").is_null());
  const json builtIn = json::parse(PortListJson(ports[0]));
  for (const char* key : {"vid", "pid", "serial", "location", "by_serial", "by_location"}) {
    EXPECT_TRUE(builtIn.at(key).is_null()) << key;
  }
  EXPECT_EQ(builtIn.at("description"), "Serial9");
}

}  // namespace
}  // namespace movrand::cli
