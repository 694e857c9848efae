// The movrand-sim program over real pseudo-terminals: an independent XMODEM sender (sx of
// lrzsz) programs its loader, and the serial link of the program finds it only at the right
// rate and parity.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comm/comm.h"
#include "platform/std_event_loop.h"
#include "sim_test_util.h"
#include "support/sim_process.h"

namespace movrand::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::Bytes;

constexpr auto kTransferLimit = 60s;

using movrand::testing::SimProcess;

int WaitFor(pid_t pid, std::chrono::milliseconds limit) {
  return movrand::testing::WaitForChild(pid, limit);
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/movrand-sim-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Runs `sx -q file` (plain XMODEM, 128-byte blocks, CRC when the receiver asks with "C") with
// its standard input and output on `port`, set raw at 115200 8N1. The exit code, -1 on timeout.
int RunSx(const std::string& port, const std::string& file) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) _exit(126);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIFLUSH);  // start requests from before the sender ran would be stale
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    const int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, STDERR_FILENO);
    execlp("sx", "sx", "-q", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return WaitFor(pid, kTransferLimit);
}

bool SxInstalled() {
  return std::system("command -v sx > /dev/null 2>&1") == 0;
}

Bytes RandomFile(const std::string& path, std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes data(size);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
  return data;
}

struct TransferCase {
  const char* name;
  std::size_t size;
  std::vector<std::string> faults;
  const char* expectInSummary;
};

TEST(SimProgram, LoaderReceivesWhatAnIndependentXmodemSenderSends) {
  ASSERT_TRUE(SxInstalled()) << "sx of lrzsz is needed (scripts/deps.sh installs it)";
  const TransferCase cases[] = {
      {"plain", 5000, {}, "\"injected_naks\":0"},
      {"exact blocks", 1024, {}, "\"blocks_accepted\":8"},
      {"rejections", 40 * 128 + 1, {"--nak-blocks", "1,3,40"}, "\"injected_naks\":3"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const Bytes data = RandomFile(dir.file("fw.bin"), c.size, static_cast<unsigned>(c.size));
    std::vector<std::string> args = {"--start-in-loader", "--image-out", dir.file("image.bin"),
                                     "--timeout-s", "120"};
    args.insert(args.end(), c.faults.begin(), c.faults.end());
    SimProcess sim(MOVRAND_SIM_PATH, args);
    ASSERT_FALSE(sim.port().empty()) << c.name;
    EXPECT_EQ(RunSx(sim.port(), dir.file("fw.bin")), 0) << c.name;
    const std::string summary = sim.stop();
    EXPECT_EQ(sim.exitCode(), 0);

    Bytes padded = data;
    padded.resize((data.size() + 127) / 128 * 128, 0x1A);
    EXPECT_EQ(ReadFile(dir.file("image.bin")), padded) << c.name;
    EXPECT_NE(summary.find("\"image_bytes\":" + std::to_string(padded.size())), std::string::npos)
        << summary;
    EXPECT_NE(summary.find(c.expectInSummary), std::string::npos) << c.name << ": " << summary;
    EXPECT_NE(summary.find("\"violation_total\":0"), std::string::npos) << summary;
  }
}

// The number after `"key":` in a summary line; -1 when it is not there.
std::int64_t Figure(const std::string& summary, const std::string& key) {
  const std::size_t at = summary.find("\"" + key + "\":");
  if (at == std::string::npos) return -1;
  return std::strtoll(summary.c_str() + at + key.size() + 3, nullptr, 10);
}

TEST(SimProgram, PacedTheTransferTakesAtLeastItsLineTimeAndTheTurnaroundsAreCounted) {
  ASSERT_TRUE(SxInstalled()) << "sx of lrzsz is needed (scripts/deps.sh installs it)";
  constexpr std::int64_t kBlocks = 24;
  // Each block and its ACK: 134 bytes of 10 bits at 115200; the EOT one byte more.
  constexpr std::int64_t kLineMicros = (kBlocks * 134 + 1) * 10 * 1'000'000 / 115200;
  for (const bool paced : {true, false}) {
    TempDir dir;
    const Bytes data = RandomFile(dir.file("fw.bin"), kBlocks * 128, 24);
    std::vector<std::string> args = {
        "--start-in-loader", "--image-out", dir.file("image.bin"), "--ack-delay-ms", "0",
        "--timeout-s",       "120"};
    if (paced) args.push_back("--pace");
    SimProcess sim(MOVRAND_SIM_PATH, args);
    ASSERT_FALSE(sim.port().empty());
    EXPECT_EQ(RunSx(sim.port(), dir.file("fw.bin")), 0);
    const std::string summary = sim.stop();
    EXPECT_EQ(ReadFile(dir.file("image.bin")), data);
    EXPECT_NE(summary.find(paced ? "\"paced\":true" : "\"paced\":false"), std::string::npos)
        << summary;
    // From block 1's first byte to EOT: every block but the first and every ACK on the wire.
    const std::int64_t transfer = Figure(summary, "transfer_us");
    if (paced) {
      EXPECT_GE(transfer, kLineMicros - 134 * 10 * 1'000'000 / 115200) << summary;
    } else {
      EXPECT_LT(transfer, kLineMicros / 2) << "a pseudo-terminal is faster than the line";
    }
    // One turnaround per block: to the next block, or to EOT after the last.
    EXPECT_EQ(Figure(summary, "count"), kBlocks) << summary;
    EXPECT_GT(Figure(summary, "median"), 0) << summary;
    EXPECT_GE(Figure(summary, "p99"), Figure(summary, "median")) << summary;
    EXPECT_GE(Figure(summary, "max"), Figure(summary, "p99")) << summary;
  }
}

TEST(SimProgram, ABlockRejectedForeverStopsTheTransferAndIsRecorded) {
  ASSERT_TRUE(SxInstalled()) << "sx of lrzsz is needed (scripts/deps.sh installs it)";
  TempDir dir;
  RandomFile(dir.file("fw.bin"), 1000, 7);
  SimProcess sim(MOVRAND_SIM_PATH,
                 {"--start-in-loader", "--nak-forever", "2", "--image-out", dir.file("image.bin"),
                  "--events", dir.file("events.jsonl"), "--timeout-s", "120"});
  ASSERT_FALSE(sim.port().empty());
  EXPECT_NE(RunSx(sim.port(), dir.file("fw.bin")), 0);
  const std::string summary = sim.stop();
  EXPECT_FALSE(std::filesystem::exists(dir.file("image.bin")));
  EXPECT_NE(summary.find("\"blocks_accepted\":1,"), std::string::npos) << summary;
  EXPECT_NE(summary.find("\"images_written\":0"), std::string::npos) << summary;
  int rejections = 0;
  for (const auto& line : ReadLines(dir.file("events.jsonl"))) {
    if (line.find("\"position\":2") != std::string::npos &&
        line.find("rejected as ordered") != std::string::npos) {
      ++rejections;
    }
  }
  EXPECT_GE(rejections, 4);  // the sender tries a block more than four times before giving up
  EXPECT_NE(summary.find("\"injected_naks\":" + std::to_string(rejections)), std::string::npos)
      << summary;
}

TEST(SimProgram, AfterTheTransferItRestartsAndReportsTheNewVersion) {
  ASSERT_TRUE(SxInstalled()) << "sx of lrzsz is needed (scripts/deps.sh installs it)";
  TempDir dir;
  RandomFile(dir.file("fw.bin"), 700, 3);
  SimProcess sim(MOVRAND_SIM_PATH, {"--start-in-loader", "--restart-s", "0.5",
                                    "--new-version-words", "A1 KAP41 0999", "--timeout-s", "60"});
  ASSERT_FALSE(sim.port().empty());
  ASSERT_EQ(RunSx(sim.port(), dir.file("fw.bin")), 0);

  StdEventLoop loop;
  Bytes received;
  CommHandlers handlers;
  handlers.dataReceived = [&](const std::uint8_t* data, int length) {
    received.insert(received.end(), data, data + length);
  };
  CommAttach(loop, systemSerialDriver(), handlers);
  ASSERT_TRUE(OpenPort(sim.port().substr(std::string("/dev/").size()), 115200, 0));
  const std::string expected = testing::Sentence("POVER,A1,KAP41,0999");
  // Queries during the restart go unheard; ask until the module is back.
  for (int attempt = 0; attempt < 20 && received.size() < expected.size(); ++attempt) {
    const Bytes query = testing::ToBytes("$POVER*5E\r\n");
    WritePort(query.data(), static_cast<int>(query.size()));
    loop.runUntil([&] { return received.size() >= expected.size(); }, 250ms);
  }
  CommDetach();
  EXPECT_EQ(testing::ToText(received), expected);
  const std::string summary = sim.stop();
  EXPECT_NE(summary.find("\"restarts\":1"), std::string::npos) << summary;
}

struct Attempt {
  std::uint32_t baud;
  std::uint8_t parity;
  bool answered;
};

struct ProbeCase {
  const char* protocol;
  Bytes query;
  std::vector<Attempt> attempts;
};

TEST(SimProgram, AnswersOverARealPortOnlyAtItsRateAndParity) {
  const ProbeCase cases[] = {
      {"binr",
       {0x10, 0x26, 0x10, 0xFF, 0xA4, 0x44, 0x10, 0x03},
       {{57600, 1, false}, {115200, 0, false}, {115200, 1, true}}},
      {"nmea",
       testing::ToBytes("$POVER*5E\r\n"),
       {{230400, 0, false}, {115200, 1, false}, {115200, 0, true}}},
  };
  for (const auto& c : cases) {
    SimProcess sim(MOVRAND_SIM_PATH,
                   {"--protocol", c.protocol, "--baud", "115200", "--timeout-s", "60"});
    ASSERT_FALSE(sim.port().empty());
    StdEventLoop loop;
    Bytes received;
    CommHandlers handlers;
    handlers.dataReceived = [&](const std::uint8_t* data, int length) {
      received.insert(received.end(), data, data + length);
    };
    CommAttach(loop, systemSerialDriver(), handlers);
    const std::string name = sim.port().substr(std::string("/dev/").size());
    for (const auto& a : c.attempts) {
      received.clear();
      ASSERT_TRUE(OpenPort(name, a.baud, a.parity)) << name;
      WritePort(c.query.data(), static_cast<int>(c.query.size()));
      // The whole reply: 25 bytes of version sentence, or the 8-byte probe answer. A reply
      // comes within the module's answer delay; an attempt is given far more before it counts
      // as unanswered.
      const std::size_t replySize = c.protocol == std::string("nmea") ? 25 : 8;
      loop.runUntil([&] { return received.size() >= replySize; }, a.answered ? 5s : 500ms);
      ClosePort();
      const std::string where = std::string(c.protocol) + " at " + std::to_string(a.baud) + "/" +
                                std::to_string(a.parity);
      if (!a.answered) {
        EXPECT_TRUE(received.empty()) << where;
        continue;
      }
      if (c.protocol == std::string("nmea")) {
        EXPECT_EQ(testing::ToText(received), "$POVER,A1,KAP41,0102*5E\r\n") << where;
      } else {
        const auto frame = testing::ReadOneFrame(received);
        ASSERT_TRUE(frame) << where;
        EXPECT_EQ(frame->id, 0x54);
        EXPECT_TRUE(frame->crcOk);
      }
    }
    CommDetach();
    const std::string summary = sim.stop();
    EXPECT_NE(summary.find("\"noise_chunks\":2"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\"lost\":0"), std::string::npos) << summary;
  }
}

TEST(SimProgram, PublishesItsLinkAndRemovesItAtTheEnd) {
  TempDir dir;
  const std::string link = dir.file("ttySIM0");
  {
    SimProcess sim(MOVRAND_SIM_PATH, {"--link", link, "--timeout-s", "60"});
    ASSERT_FALSE(sim.port().empty());
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.port());
    const std::string summary = sim.stop();
    EXPECT_EQ(summary.rfind("{\"ended\":\"SIGTERM\"", 0), 0u) << summary;
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

// movrand-sim with its output read line by line: a fixture prints a PORT line for each new port.
class LineProcess {
 public:
  explicit LineProcess(std::vector<std::string> args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;  // the child keeps only its standard output
    args.insert(args.begin(), MOVRAND_SIM_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
  }
  ~LineProcess() {
    if (pid_ > 0) stop();
    close(out_);
  }
  std::string readLine(std::chrono::milliseconds limit) {
    std::string line;
    for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
      pollfd fd{out_, POLLIN, 0};
      char c;
      if (poll(&fd, 1, 100) <= 0) continue;
      if (read(out_, &c, 1) != 1 || c == '\n') break;
      line += c;
    }
    return line;
  }
  // Ends the program; its summary line.
  std::string stop() {
    kill(pid_, SIGTERM);
    const std::string summary = readLine(10s);
    WaitFor(std::exchange(pid_, -1), 10s);
    return summary;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

// The host's port at `path`, raw at 115200 8N1; the version reply it gets within two seconds.
std::string AskVersion(int fd) {
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  cfsetspeed(&tio, B115200);
  tcsetattr(fd, TCSANOW, &tio);
  const std::string query = testing::Sentence("POVER");
  if (write(fd, query.data(), query.size()) != static_cast<ssize_t>(query.size())) return {};
  std::string reply;
  char buffer[64];
  for (const auto deadline = Clock::now() + 2s; reply.size() < 25 && Clock::now() < deadline;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) reply.append(buffer, static_cast<std::size_t>(n));
    }
  }
  return reply;
}

// Whether the port open on `fd` hangs up (its device gone) within `limit`.
bool HangsUp(int fd, std::chrono::milliseconds limit) {
  char buffer[64];
  for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    if (p.revents & (POLLHUP | POLLERR)) return true;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno == EIO)) return true;
  }
  return false;
}

TEST(SimProgram, AFixtureModuleVanishesWithItsPortAndTheNextComesOnANewOne) {
  TempDir dir;
  const std::string link = dir.file("ttyFIX");
  std::ofstream(dir.file("fixture.txt")) << "# two modules already up to date\n"
                                         << "behaviour=current stay=0.3 empty=0.5 off=vanish\n"
                                         << "behaviour=current stay=60\n";
  LineProcess sim({"--fixture", dir.file("fixture.txt"), "--link", link, "--timeout-s", "60"});
  const std::string first = sim.readLine(10s);
  ASSERT_EQ(first.rfind("PORT /dev/pts/", 0), 0u) << first;
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), first.substr(5));
  const int old = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(old, 0);
  EXPECT_EQ(AskVersion(old), testing::Sentence("POVER,A1,KAP41,0103"));
  // 0.3 s after that outcome the module goes, and its port with it.
  EXPECT_TRUE(HangsUp(old, 5s));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));

  const std::string second = sim.readLine(5s);
  ASSERT_EQ(second.rfind("PORT /dev/pts/", 0), 0u) << second;
  EXPECT_NE(second, first);  // the old terminal is still held open here
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), second.substr(5));
  const int fresh = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fresh, 0);
  EXPECT_EQ(AskVersion(fresh), testing::Sentence("POVER,A1,KAP41,0103"));
  close(old);
  close(fresh);

  const auto summary = nlohmann::json::parse(sim.stop(), nullptr, false);
  ASSERT_TRUE(summary.is_object());
  EXPECT_EQ(summary["seen"]["nmea POVER"], 2);
  const auto& modules = summary["modules"];
  ASSERT_EQ(modules.size(), 2u) << summary;
  EXPECT_EQ(modules[1]["number"], 2);
  EXPECT_EQ(modules[0]["off"], "vanish");
  EXPECT_GE(modules[1]["arrived_ms"].get<int>() - modules[0]["off_ms"].get<int>(), 500);
  EXPECT_TRUE(modules[1]["off_ms"].is_null()) << "still on the fixture at the end";
}

// One byte from the host's port `fd` within `limit`; -1 when none came or the port hung up.
int ReadByte(int fd, std::chrono::milliseconds limit) {
  for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    std::uint8_t byte = 0;
    const ssize_t n = read(fd, &byte, 1);
    if (n == 1) return byte;
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return -1;
  }
  return -1;
}

// Puts the module on the host's port `fd` (raw at 115200 8N1) into its loader and sends it two
// blocks and EOT; whether each was acknowledged, the EOT too. Start requests before the first
// ACK are passed over.
bool LoadImage(int fd, std::uint8_t fill) {
  const auto put = [fd](const Bytes& bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  };
  if (!put(testing::ToBytes(testing::Sentence("POPRL,B")))) return false;
  if (ReadByte(fd, 2s) != 'C') return false;
  const auto acknowledged = [fd] {
    int answer = 'C';
    while (answer == 'C') answer = ReadByte(fd, 2s);
    return answer == 0x06;
  };
  for (std::uint8_t n = 1; n <= 2; ++n) {
    if (!put(testing::Block(n, fill)) || !acknowledged()) return false;
  }
  return put(Bytes{0x04}) && acknowledged();
}

// Where the symbolic link `path` points; empty when there is none.
std::string LinkTarget(const std::string& path) {
  std::error_code error;
  return std::filesystem::read_symlink(path, error).string();
}

// The kinds of the port's own events lines, in order, with their notes.
std::vector<std::pair<std::string, std::string>> PortEvents(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> port;
  for (const auto& line : ReadLines(path)) {
    const auto event = nlohmann::json::parse(line, nullptr, false);
    if (event.is_object() && event["dir"] == "port")
      port.emplace_back(event["kind"], event["note"]);
  }
  return port;
}

TEST(SimProgram, AModuleThatVanishesOnRestartComesBackOnANewTerminalUnderItsLink) {
  for (const bool renamed : {false, true}) {
    SCOPED_TRACE(renamed ? "--return-as" : "the same link");
    TempDir dir;
    const std::string link = dir.file("ttyUSB0");
    const std::string back = renamed ? dir.file("ttyUSB1") : link;
    std::vector<std::string> args = {"--link", link,       "--vanish-on-restart",    "--restart-s",
                                     "0.5",    "--events", dir.file("events.jsonl"), "--timeout-s",
                                     "60"};
    if (renamed) args.insert(args.end(), {"--return-as", back});
    LineProcess sim(args);
    const std::string first = sim.readLine(10s);
    ASSERT_EQ(first.rfind("PORT /dev/pts/", 0), 0u) << first;
    EXPECT_EQ(LinkTarget(link), first.substr(5));

    std::vector<int> held;  // every port opened stays open, so no terminal's number comes again
    std::vector<std::string> terminals = {first.substr(5)};
    for (int image = 1; image <= 2; ++image) {
      SCOPED_TRACE("image " + std::to_string(image));
      const int fd = open(image == 1 ? link.c_str() : back.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      ASSERT_GE(fd, 0);
      held.push_back(fd);
      EXPECT_EQ(AskVersion(fd),
                testing::Sentence(image == 1 ? "POVER,A1,KAP41,0102" : "POVER,A1,KAP41,0103"));
      ASSERT_TRUE(LoadImage(fd, static_cast<std::uint8_t>(image * 0x40)));
      EXPECT_TRUE(HangsUp(fd, 5s));
      // The link went before the terminal closed.
      EXPECT_EQ(LinkTarget(back), "");
      EXPECT_EQ(LinkTarget(link), "");

      const std::string next = sim.readLine(5s);
      ASSERT_EQ(next.rfind("PORT /dev/pts/", 0), 0u) << next;
      EXPECT_NE(next.substr(5), terminals.back());
      terminals.push_back(next.substr(5));
      // Published only with the module on it: asked at once, it answers with the new version.
      EXPECT_EQ(LinkTarget(back), next.substr(5));
      if (renamed) {
        EXPECT_EQ(LinkTarget(link), "") << "the old name stays gone";
      }
      const int fresh = open(back.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      ASSERT_GE(fresh, 0);
      EXPECT_EQ(AskVersion(fresh), testing::Sentence("POVER,A1,KAP41,0103"));
      close(fresh);
    }
    for (const int fd : held) close(fd);

    const auto summary = nlohmann::json::parse(sim.stop(), nullptr, false);
    ASSERT_TRUE(summary.is_object());
    EXPECT_EQ(summary["ended"], "SIGTERM");
    EXPECT_EQ(summary["restarts"], 2);
    EXPECT_EQ(summary["images_written"], 2);
    using Event = std::pair<std::string, std::string>;
    EXPECT_EQ(PortEvents(dir.file("events.jsonl")), (std::vector<Event>{{"port", terminals[0]},
                                                                        {"port-gone", link},
                                                                        {"port", terminals[1]},
                                                                        {"port-gone", back},
                                                                        {"port", terminals[2]}}));
  }
}

}  // namespace
}  // namespace movrand::sim
