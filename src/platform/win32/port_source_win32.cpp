#include <windows.h>
// After windows.h, which they build on; initguid.h makes this file define the class GUID.
#include <cfgmgr32.h>
#include <initguid.h>
#include <setupapi.h>
// The GUID of the Ports device class, from devguid.h after initguid.h.
#include <devguid.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/port_source.h"
#include "platform/text.h"
#include "platform/windows_device_ids.h"

namespace movrand {
namespace {

// Where Windows lists the serial ports: one value per port, named after the kernel device
// (\Device\Serial0), holding the port name (COM1) as text.
constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// The longest value name the registry allows, plus the terminator.
constexpr DWORD kValueNameCapacity = 16384;
// Port names are short; data longer than this is not a port name.
constexpr DWORD kValueDataCapacity = 256;

class KeyCloser {
 public:
  explicit KeyCloser(HKEY key) : key_(key) {}
  ~KeyCloser() { RegCloseKey(key_); }
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;

 private:
  HKEY key_;
};

// Opens the key for reading with the widest rights the system grants.
bool OpenSerialCommKey(HKEY& key) {
  for (REGSAM rights : {static_cast<REGSAM>(KEY_READ),
                        static_cast<REGSAM>(KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS),
                        static_cast<REGSAM>(KEY_QUERY_VALUE)}) {
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, rights, &key) == ERROR_SUCCESS) {
      return true;
    }
  }
  return false;
}

// The value's text; nothing when it is not text or does not look like a port name.
std::optional<std::string> ReadText(HKEY key, const std::string& name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
  if (size == 0) return std::string();
  if (size > kValueDataCapacity) return std::nullopt;
  std::vector<char> data(kValueDataCapacity + 1, '\0');
  DWORD read = kValueDataCapacity;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                       &read) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  // The stored text may or may not carry its terminator; stop at the first one.
  std::string text(data.data(), read);
  return text.substr(0, text.find('\0'));
}

// The last part of the kernel device name: after its last backslash or colon.
std::string KernelDeviceOf(const std::string& valueName) {
  const std::size_t cut = valueName.find_last_of("\\:");
  return cut == std::string::npos ? valueName : valueName.substr(cut + 1);
}

// A device property that is text or a list of texts, as stored (terminators included). The
// reads below give nothing when the device has none or it is longer than any Windows writes.
std::string AsText(const std::vector<char>& data, DWORD type, DWORD size) {
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return {};
  return std::string(data.data(), std::min<std::size_t>(size, data.size()));
}

std::string FirstText(const std::string& data) {
  return data.substr(0, data.find('\0'));
}

std::string DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  std::vector<char> data(kMaxWindowsMultiStringLength, '\0');
  DWORD type = 0;
  DWORD size = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type,
                                         reinterpret_cast<BYTE*>(data.data()),
                                         static_cast<DWORD>(data.size()), &size)) {
    return {};
  }
  return AsText(data, type, size);
}

std::string NodeProperty(DEVINST node, ULONG property) {
  std::vector<char> data(kMaxWindowsMultiStringLength, '\0');
  ULONG type = 0;
  ULONG size = static_cast<ULONG>(data.size());
  if (CM_Get_DevNode_Registry_PropertyA(node, property, &type, data.data(), &size, 0) !=
      CR_SUCCESS) {
    return {};
  }
  return AsText(data, type, size);
}

// The node's instance id; empty when it cannot be read.
std::string NodeId(DEVINST node) {
  char id[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDA(node, id, sizeof id, 0) != CR_SUCCESS) return {};
  return std::string(id, strnlen(id, sizeof id));
}

// The port name a Ports device was given ("COM3"), from its hardware key.
std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
  HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE || key == nullptr) return {};
  KeyCloser closer(key);
  return ReadText(key, "PortName").value_or(std::string());
}

// The parents of a port's node that are read: enough for a driver's own bus node, the USB
// interface, the device and the hub it is plugged into.
constexpr int kAncestorsRead = 8;

struct DevicePort {
  std::string product;
  std::optional<UsbIdentity> usb;
};

class DeviceInfoList {
 public:
  explicit DeviceInfoList(HDEVINFO set) : set_(set) {}
  ~DeviceInfoList() {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoList(const DeviceInfoList&) = delete;
  DeviceInfoList& operator=(const DeviceInfoList&) = delete;
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
};

// What the device manager knows about the present serial ports, by upper-case port name.
// Any failure only leaves ports out: the registry's list stands without it.
std::map<std::string, DevicePort> DevicePorts() {
  std::map<std::string, DevicePort> ports;
  const DeviceInfoList set(
      SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT));
  if (set.get() == INVALID_HANDLE_VALUE) return ports;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
    const std::string name = PortNameOf(set.get(), device);
    if (name.empty()) continue;

    DevicePort port;
    port.product = FirstText(DeviceProperty(set.get(), device, SPDRP_FRIENDLYNAME));
    if (port.product.empty()) {
      port.product = FirstText(DeviceProperty(set.get(), device, SPDRP_DEVICEDESC));
    }

    std::vector<WindowsDeviceNode> chain(1);
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    if (SetupDiGetDeviceInstanceIdA(set.get(), &device, id, sizeof id, nullptr)) {
      chain[0].instanceId.assign(id, strnlen(id, sizeof id));
    }
    chain[0].hardwareIds =
        SplitWindowsMultiString(DeviceProperty(set.get(), device, SPDRP_HARDWAREID));
    chain[0].locationPaths = DeviceProperty(set.get(), device, SPDRP_LOCATION_PATHS);
    DEVINST node = device.DevInst;
    for (int depth = 0; depth < kAncestorsRead; ++depth) {
      DEVINST parent = 0;
      if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
      WindowsDeviceNode ancestor{NodeId(parent)};
      if (ancestor.instanceId.empty()) break;
      ancestor.hardwareIds = SplitWindowsMultiString(NodeProperty(parent, CM_DRP_HARDWAREID));
      ancestor.locationPaths = NodeProperty(parent, CM_DRP_LOCATION_PATHS);
      chain.push_back(std::move(ancestor));
      node = parent;
    }
    port.usb = ChooseWindowsUsbIdentity(chain);
    ports.emplace(ToUpperAscii(name), std::move(port));  // the first device of a name stands
  }
  return ports;
}

class RegistryPortSource final : public PortSource {
 public:
  std::optional<std::vector<SerialPortEntry>> ListPorts() override {
    HKEY key = nullptr;
    if (!OpenSerialCommKey(key)) return std::nullopt;
    KeyCloser closer(key);

    DWORD valueCount = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &valueCount,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    std::vector<std::string> names;
    std::vector<char> name(kValueNameCapacity, '\0');
    for (DWORD index = 0; index < valueCount; ++index) {
      DWORD length = kValueNameCapacity;
      const LONG result =
          RegEnumValueA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
      if (result == ERROR_NO_MORE_ITEMS) break;  // a port went away meanwhile
      if (result != ERROR_SUCCESS) continue;
      names.emplace_back(name.data(), length);
    }

    std::vector<SerialPortEntry> ports;
    for (const std::string& valueName : names) {
      // A value that is not a port name (wrong type, gone meanwhile) is left out rather
      // than stopping the whole list.
      std::optional<std::string> port = ReadText(key, valueName);
      if (port) ports.push_back(SerialPortEntry{std::move(*port), KernelDeviceOf(valueName)});
    }

    // The device manager adds what the adapter says about itself; ports it does not know
    // (built into the board, virtual) stay as the registry lists them.
    const std::map<std::string, DevicePort> devices = DevicePorts();
    for (SerialPortEntry& entry : ports) {
      const auto found = devices.find(ToUpperAscii(entry.name));
      if (found == devices.end()) continue;
      entry.product = found->second.product;
      entry.usb = found->second.usb;
    }
    return ports;
  }
};

}  // namespace

std::unique_ptr<PortSource> CreateSystemPortSource() {
  return std::make_unique<RegistryPortSource>();
}

}  // namespace movrand
