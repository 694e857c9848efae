// A module with its own USB port leaves the bus when it restarts after programming and comes
// back, perhaps under another name: movrand-flash against movrand-sim --vanish-on-restart,
// with the port given by its link and by its USB identity in a fake device tree.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/flash_process.h"

namespace movrand::cli {
namespace {

// A fake sysfs and device folder in which one USB adapter (serial SIMFIX01, plugged into hub
// port 2 of port 1 of bus 1) carries the simulated module's port under the name `tty`. The
// program is pointed at it for the test's run.
class FakeUsbPort {
 public:
  explicit FakeUsbPort(const Folder& folder) : root_(folder.path() / "devroot") {
    fs::create_directories(root_ / "sys" / "class" / "tty");
    fs::create_directories(root_ / "dev");
    device_ = root_ / "sys" / "devices" / "pci0000:00" / "usb1" / "1-1" / "1-1.2";
    fs::create_directories(device_ / "1-1.2:1.0");
    for (const auto& [name, text] :
         {std::pair{"idVendor", "0403"}, std::pair{"idProduct", "6001"},
          std::pair{"serial", "SIMFIX01"}, std::pair{"product", "FT232R USB UART"}}) {
      std::ofstream(device_ / name) << text << "\n";
    }
    setenv("MOVRAND_DEVICE_ROOT", root_.c_str(), 1);
  }
  ~FakeUsbPort() { unsetenv("MOVRAND_DEVICE_ROOT"); }

  // The system calls the adapter's port `tty`, its node standing for `target`.
  void name(const std::string& tty, const std::string& target) {
    const fs::path port = device_ / "1-1.2:1.0" / tty;
    fs::create_directories(port / "tty" / tty);
    fs::create_directory_symlink(port, port / "tty" / tty / "device");
    fs::create_directory_symlink(port / "tty" / tty, root_ / "sys" / "class" / "tty" / tty);
    fs::create_symlink(target, root_ / "dev" / tty);
  }
  void unname(const std::string& tty) {
    fs::remove(root_ / "sys" / "class" / "tty" / tty);
    fs::remove(root_ / "dev" / tty);
    fs::remove_all(device_ / "1-1.2:1.0" / tty);
  }
  // What the system does when the module re-enumerates at its restart: the adapter's port
  // is renamed from ttyUSB7 to ttyUSB8, its node standing for `target`. A line watcher for
  // RunFlash that does so at the run's "restarting" stage.
  std::function<bool(const std::string&)> renameAtRestart(const std::string& target) {
    return [this, target](const std::string& line) {
      if (!renamed && line.find("\"stage\":\"restarting\"") != std::string::npos) {
        unname("ttyUSB7");
        name("ttyUSB8", target);
        renamed = true;
      }
      return false;
    };
  }
  bool renamed = false;

 private:
  fs::path root_;
  fs::path device_;
};

TEST(PortReturnE2E, AModuleThatLeavesAtItsRestartAndComesBackUnderItsLinkIsReconnected) {
  Folder folder;
  const std::string link = folder.file("ttySIM0");
  const std::string received = folder.file("received.bin");
  const Bytes image = Image(4096, "KAP41");
  SimProcess sim = Sim({"--link", link, "--vanish-on-restart", "--image-out", received});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run = RunFlash(
      {"--port", link, "--file", folder.write("fw.bin", image), "--yes", "--json"}, kFlash);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::vector<json> events = run.events();
  EXPECT_TRUE(HasLineEndingWith(events, ">>Device is ready for normal operation"));
  EXPECT_TRUE(HasLineEndingWith(
      events, ">>COM port " + sim.portName() + " is lost: the device was disconnected"))
      << "the port really went away: " << run.out;
  ASSERT_TRUE(Result(events));
  EXPECT_EQ(Result(events)->at("newVersion"), "A1 KAP41 0103");
  EXPECT_EQ(ReadAll(received), AsReceived(image));
}

TEST(PortReturnE2E, APortBackAfterTheWindowWouldHaveReconnectedIsWaitedFor) {
  Folder folder;
  const std::string link = folder.file("ttySIM0");
  // The window reconnects 9 s after a small image's last block; the module is back after 14.
  SimProcess sim = Sim({"--link", link, "--vanish-on-restart", "--restart-s", "14"});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run = RunFlash(
      {"--port", link, "--file", folder.write("fw.bin", Image(4096, "KAP41")), "--yes", "--json"},
      kFlash);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.err.find("went away with the module's restart; waiting up to 12 s"),
            std::string::npos)
      << run.err;
  ASSERT_TRUE(Result(run.events()));
  EXPECT_EQ(Result(run.events())->at("newVersion"), "A1 KAP41 0103");
}

TEST(PortReturnE2E, APortThatNeverComesBackFailsTheReconnectAfterTheStatedWait) {
  Folder folder;
  const std::string link = folder.file("ttySIM0");
  SimProcess sim = Sim({"--link", link, "--vanish-on-restart", "--restart-s", "3600"});
  ASSERT_FALSE(sim.port().empty());
  std::optional<Clock::time_point> connection;
  std::optional<Clock::time_point> result;
  const Outcome run = RunFlash(
      {"--port", link, "--file", folder.write("fw.bin", Image(4096, "KAP41")), "--yes", "--json"},
      kFlash, folder.path(), [&](const std::string& line) {
        if (line.find(">>Connection...") != std::string::npos) connection = Clock::now();
        if (line.find("\"event\":\"result\"") != std::string::npos) result = Clock::now();
        return false;
      });
  EXPECT_EQ(run.exitCode, 7) << run.out << run.err;
  const std::vector<json> events = run.events();
  ASSERT_TRUE(Result(events));
  EXPECT_EQ(Result(events)->at("reason"), "missing");
  EXPECT_NE(Result(events)->at("detail").get<std::string>().find("did not come back within 10 s"),
            std::string::npos);
  ASSERT_TRUE(connection && result);
  const double waited = std::chrono::duration<double>(*result - *connection).count();
  EXPECT_GT(waited, 11.5);
  EXPECT_LT(waited, 14.0);
}

// The system gives the returning module another name: only its identity finds it again; a
// port given by the old name is not looked for under the new one.
TEST(PortReturnE2E, AModuleBackUnderAnotherNameIsFoundByItsIdentityAndRecordedWithIt) {
  Folder folder;
  const std::string first = folder.file("ttySIM0");
  const std::string second = folder.file("ttySIM1");
  const std::string record = folder.file("record.jsonl");
  FakeUsbPort usb(folder);
  usb.name("ttyUSB7", first);
  SimProcess sim = Sim({"--link", first, "--vanish-on-restart", "--return-as", second});
  ASSERT_FALSE(sim.port().empty());

  const Outcome list = RunFlash({"--list"}, kQuick);
  EXPECT_NE(list.out.find("ttyUSB7    -  usb-serial:SIMFIX01  usb-location:1-1.2:1.0  0403:6001"),
            std::string::npos)
      << list.out;

  const Outcome run = RunFlash(
      {"--port", "usb-serial:SIMFIX01", "--file", folder.write("fw.bin", Image(4096, "KAP41")),
       "--yes", "--json", "--record", record},
      kFlash, folder.path(), usb.renameAtRestart(second));
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(usb.renamed);
  const std::vector<json> events = run.events();
  ASSERT_TRUE(Result(events));
  EXPECT_EQ(Result(events)->at("newVersion"), "A1 KAP41 0103");
  EXPECT_EQ(Result(events)->at("portSerial"), "SIMFIX01");
  EXPECT_EQ(Result(events)->at("portLocation"), "1-1.2:1.0");
  EXPECT_EQ(Result(events)->at("portUsbId"), "0403:6001");
  std::ifstream in(record);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  const json recorded = json::parse(line);
  EXPECT_EQ(recorded.at("portSerial"), "SIMFIX01");
  EXPECT_EQ(recorded.at("outcome"), "success");
}

// An unattended station given the adapter's identity follows the module through its restart
// too, and records where it was.
TEST(PortReturnE2E, AStationFollowsItsAdapterThroughTheRestart) {
  Folder folder;
  const std::string first = folder.file("ttySIM0");
  const std::string second = folder.file("ttySIM1");
  const std::string record = folder.file("record.jsonl");
  const std::string received = folder.file("received.bin");
  const Bytes image = Image(9000, "KAP41");
  FakeUsbPort usb(folder);
  usb.name("ttyUSB7", first);
  SimProcess sim =
      Sim({"--link", first, "--vanish-on-restart", "--return-as", second, "--image-out", received});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run =
      RunFlash({"--port", "usb-location:1-1.2:1.0", "--continuous", "--count", "1", "--file",
                folder.write("fw.bin", image), "--yes", "--protocol", "nmea", "--baud", "115200",
                "--expect-version", "A1 KAP41 0103", "--record", record, "--json"},
               kFlash, folder.path(), usb.renameAtRestart(second));
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(usb.renamed);
  std::ifstream in(record);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  const json recorded = json::parse(line);
  EXPECT_EQ(recorded.at("verdict"), "PASS") << line;
  EXPECT_EQ(recorded.at("portLocation"), "1-1.2:1.0");
  EXPECT_EQ(recorded.at("portSerial"), "SIMFIX01");
  EXPECT_EQ(recorded.at("newVersion"), "A1 KAP41 0103");
  EXPECT_EQ(ReadAll(received), AsReceived(image));
}

TEST(PortReturnE2E, AModuleBackUnderAnotherNameIsNotFoundByTheOldOne) {
  Folder folder;
  const std::string first = folder.file("ttySIM0");
  SimProcess sim = Sim({"--link", first, "--vanish-on-restart", "--return-as",
                        folder.file("ttySIM1"), "--restart-s", "1"});
  ASSERT_FALSE(sim.port().empty());
  const Outcome run = RunFlash(
      {"--port", first, "--file", folder.write("fw.bin", Image(4096, "KAP41")), "--yes", "--json"},
      kFlash);
  EXPECT_EQ(run.exitCode, 7) << run.out << run.err;
  ASSERT_TRUE(Result(run.events()));
  EXPECT_EQ(Result(run.events())->at("reason"), "missing");
}

TEST(PortReturnE2E, AnIdentityThatNamesNoPortIsRefusedWithWhatTheListShows) {
  Folder folder;
  FakeUsbPort usb(folder);
  usb.name("ttyUSB7", "/dev/null");
  const Outcome run = RunFlash({"--port", "usb-serial:NOSUCH", "--json"}, kQuick);
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  ASSERT_TRUE(Result(run.events()));
  EXPECT_EQ(Result(run.events())->at("detail"),
            "no port has usb-serial:NOSUCH; the ports now: ttyUSB7 (usb-serial:SIMFIX01 "
            "usb-location:1-1.2:1.0)");
}

}  // namespace
}  // namespace movrand::cli
