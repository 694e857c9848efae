#include "platform/port_names.h"

#include <system_error>

namespace movrand {
namespace {

namespace fs = std::filesystem;

// The name of `path` relative to `folder` when it lies inside it, else empty.
std::string NameInside(const fs::path& path, const fs::path& folder) {
  const fs::path relative = path.lexically_relative(folder);
  if (relative.empty() || relative == "." || *relative.begin() == "..") return {};
  return relative.generic_string();
}

PortLookup Failure(std::string error, bool missing = false) {
  return PortLookup{.name = {}, .error = std::move(error), .missing = missing};
}

PortLookup Found(std::string name) {
  return PortLookup{.name = std::move(name), .error = {}, .missing = false};
}

std::string TooLong(const std::string& name, std::size_t maxNameLength) {
  return "port name " + name + " is longer than " + std::to_string(maxNameLength) + " characters";
}

}  // namespace

PortLookup LookUpDevicePort(std::string_view argument, std::size_t maxNameLength,
                            const fs::path& devFolder) {
  const std::string text(argument);
  const auto fits = [&](const std::string& name) {
    return !name.empty() && name.size() <= maxNameLength;
  };
  std::error_code error;
  const fs::path devAbsolute = fs::absolute(devFolder, error).lexically_normal();

  if (!argument.starts_with("/") && !argument.starts_with(".")) {
    // A name as the port list shows it.
    if (text.find("..") != std::string::npos) return Failure("port name " + text + " is invalid");
    if (!fits(text)) return Failure(TooLong(text, maxNameLength));
    if (!fs::exists(devAbsolute / text, error)) return Failure("no serial port " + text, true);
    return Found(text);
  }

  const fs::path path = fs::absolute(fs::path(text), error).lexically_normal();
  if (!fs::exists(fs::symlink_status(path, error)) || !fs::exists(path, error)) {
    return Failure("no device " + text, true);
  }
  if (std::string name = NameInside(path, devAbsolute); fits(name)) return Found(std::move(name));
  // Elsewhere, or too long a name: the device the path stands for.
  const fs::path device = fs::canonical(path, error);
  const fs::path devCanonical = fs::canonical(devAbsolute, error);
  if (error) return Failure("no device " + text, true);
  std::string name = NameInside(device, devCanonical);
  if (name.empty()) return Failure(text + " is not a device in " + devAbsolute.string());
  if (!fits(name)) return Failure(TooLong(name, maxNameLength));
  return Found(std::move(name));
}

PortLookup LookUpComPort(std::string_view argument, std::size_t maxNameLength,
                         const std::function<bool(const std::string& name)>& exists) {
  // "\\.\COM12" is the device path of COM12; "//./COM12" is the same with forward slashes.
  std::string_view name = argument;
  for (std::string_view prefix : {std::string_view("\\\\.\\"), std::string_view("//./")}) {
    if (name.starts_with(prefix)) {
      name.remove_prefix(prefix.size());
      break;
    }
  }
  const std::string text(name);
  if (text.empty()) return Failure("port name " + std::string(argument) + " is empty");
  // The selector takes the port name up to the first blank, and a device path part or a
  // wildcard would open something else than the port.
  for (const char c : text) {
    const bool control = static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    if (control || std::string_view(" \\/:*?\"<>|").find(c) != std::string_view::npos) {
      return Failure("port name " + std::string(argument) +
                     " is invalid (a port is named as COM5)");
    }
  }
  if (text.size() > maxNameLength) return Failure(TooLong(text, maxNameLength));
  if (!exists(text)) return Failure("no serial port " + text, true);
  return Found(text);
}

}  // namespace movrand
