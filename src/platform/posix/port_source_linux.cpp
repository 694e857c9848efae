#include "platform/posix/port_source_linux.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/text.h"

namespace movrand {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTtyPrefix = "tty";
// Where the kernel's pseudo-terminal slaves live; a "tty*" link into it is a virtual port.
constexpr std::string_view kPtsFolder = "/dev/pts/";
constexpr std::string_view kPtsRelative = "pts/";  // the same, written relative to /dev
constexpr const char* kPtsDescription = "pts";

// Attribute files of sysfs are short; anything longer is not what the kernel writes.
constexpr std::size_t kAttributeMax = 256;
// A tty sits a few levels below its USB device (interface, usb-serial port, tty); a walk up
// that finds none within this many levels is not on USB.
constexpr int kUsbSearchDepth = 8;

// The first line of a sysfs attribute, without its line end; empty when it cannot be read or
// holds anything but printable text.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::array<char, kAttributeMax + 1> buffer{};
  in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  std::string text(buffer.data(), static_cast<std::size_t>(in.gcount()));
  if (text.size() > kAttributeMax) return {};
  text = text.substr(0, text.find('\n'));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) return {};
  }
  return text;
}

// Four hexadecimal digits in lower case, or empty.
std::string UsbId(const fs::path& file) {
  std::string id = Attribute(file);
  if (id.size() != 4 || !std::all_of(id.begin(), id.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return {};
  }
  return ToLowerAscii(id);
}

// The USB device above `device` (the folder with its vendor id) and the interface the port
// belongs to: the folder just below it on the way up, named "1-1.2:1.0" by the kernel.
void AddUsbIdentity(const fs::path& device, SerialPortEntry& port) {
  std::error_code error;
  fs::path below;
  fs::path here = fs::canonical(device, error);
  if (error) return;
  for (int level = 0; level < kUsbSearchDepth && here.has_relative_path(); ++level) {
    if (fs::exists(here / "idVendor", error)) {
      UsbIdentity usb{.vendorId = UsbId(here / "idVendor"),
                      .productId = UsbId(here / "idProduct"),
                      .serial = Attribute(here / "serial"),
                      .location = (below.empty() ? here : below).filename().string()};
      if (usb.vendorId.empty() || usb.productId.empty()) return;
      port.product = Attribute(here / "product");
      port.usb = std::move(usb);
      return;
    }
    below = here;
    here = here.parent_path();
  }
}

// A sysfs tty entry stands for a real port when the kernel tied it to a device; its driver
// is the last part of the device's "driver" link (empty when the link cannot be read), and a
// device on USB adds its identity.
std::optional<SerialPortEntry> HardwarePort(const fs::path& entry) {
  std::error_code error;
  const fs::path device = entry / "device";
  if (!fs::exists(fs::symlink_status(device, error))) return std::nullopt;
  SerialPortEntry port{entry.filename().string(), {}};
  const fs::path driver = fs::read_symlink(device / "driver", error);
  if (!error) port.description = driver.filename().string();
  AddUsbIdentity(device, port);
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

std::string SysfsPortSource::DeviceOf(const SerialPortEntry& entry) const {
  return (devFolder_ / entry.name).string();
}

std::unique_ptr<PortSource> CreateSystemPortSource() {
  // The test bench stands in a fake device tree for the system's: its sysfs under
  // ROOT/sys, its device nodes and links under ROOT/dev.
  if (const char* root = std::getenv("MOVRAND_DEVICE_ROOT"); root != nullptr && *root != '\0') {
    return std::make_unique<SysfsPortSource>(fs::path(root) / "sys" / "class" / "tty",
                                             fs::path(root) / "dev");
  }
  return std::make_unique<SysfsPortSource>();
}

}  // namespace movrand
