#include "platform/posix/port_source_linux.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

namespace movrand {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTtyPrefix = "tty";
// Where the kernel's pseudo-terminal slaves live; a "tty*" link into it is a virtual port.
constexpr std::string_view kPtsFolder = "/dev/pts/";
constexpr std::string_view kPtsRelative = "pts/";  // the same, written relative to /dev
constexpr const char* kPtsDescription = "pts";

// A sysfs tty entry stands for a real port when the kernel tied it to a device; its driver
// is the last part of the device's "driver" link (empty when the link cannot be read).
std::optional<SerialPortEntry> HardwarePort(const fs::path& entry) {
  std::error_code error;
  const fs::path device = entry / "device";
  if (!fs::exists(fs::symlink_status(device, error))) return std::nullopt;
  SerialPortEntry port{entry.filename().string(), {}};
  const fs::path driver = fs::read_symlink(device / "driver", error);
  if (!error) port.description = driver.filename().string();
  return port;
}

bool PointsIntoPts(const fs::path& target) {
  const std::string text = target.string();
  const std::string_view prefix = target.is_absolute() ? kPtsFolder : kPtsRelative;
  return text.size() > prefix.size() && text.starts_with(prefix);
}

}  // namespace

SysfsPortSource::SysfsPortSource(fs::path ttyClass, fs::path devFolder)
    : ttyClass_(std::move(ttyClass)), devFolder_(std::move(devFolder)) {}

std::optional<std::vector<SerialPortEntry>> SysfsPortSource::ListPorts() {
  std::vector<SerialPortEntry> ports;
  std::set<std::string> seen;

  std::error_code error;
  fs::directory_iterator classEntries(ttyClass_, error);
  if (error) return std::nullopt;
  for (; classEntries != fs::directory_iterator(); classEntries.increment(error)) {
    std::optional<SerialPortEntry> port = HardwarePort(classEntries->path());
    if (port && seen.insert(port->name).second) ports.push_back(std::move(*port));
  }
  if (error) return std::nullopt;

  // Virtual ports: an unreadable device folder only means there are none to add.
  fs::directory_iterator devEntries(devFolder_, error);
  for (; !error && devEntries != fs::directory_iterator(); devEntries.increment(error)) {
    const fs::path& path = devEntries->path();
    const std::string name = path.filename().string();
    if (!name.starts_with(kTtyPrefix)) continue;
    std::error_code linkError;
    if (!fs::is_symlink(fs::symlink_status(path, linkError))) continue;
    const fs::path target = fs::read_symlink(path, linkError);
    if (linkError || !PointsIntoPts(target)) continue;
    if (seen.insert(name).second) ports.push_back(SerialPortEntry{name, kPtsDescription});
  }

  // Directory order means nothing; a stable order makes the list easy to read and test.
  std::sort(ports.begin(), ports.end(),
            [](const SerialPortEntry& a, const SerialPortEntry& b) { return a.name < b.name; });
  return ports;
}

std::unique_ptr<PortSource> CreateSystemPortSource() {
  return std::make_unique<SysfsPortSource>();
}

}  // namespace movrand
