#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/port_source.h"

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
    return ports;
  }
};

}  // namespace

std::unique_ptr<PortSource> CreateSystemPortSource() {
  return std::make_unique<RegistryPortSource>();
}

}  // namespace movrand
