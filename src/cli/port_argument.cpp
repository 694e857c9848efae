#include "cli/port_argument.h"

#include <system_error>

#include "app/main_form.h"

namespace movrand::cli {
namespace {

namespace fs = std::filesystem;

// The name of `path` relative to `folder` when it lies inside it, else empty.
std::string NameInside(const fs::path& path, const fs::path& folder) {
  const fs::path relative = path.lexically_relative(folder);
  if (relative.empty() || relative == "." || *relative.begin() == "..") return {};
  return relative.generic_string();
}

bool Fits(const std::string& name) {
  return !name.empty() && name.size() <= kPortNameMax;
}

PortArgument Failure(std::string error, bool missing = false) {
  return PortArgument{.name = {}, .error = std::move(error), .missing = missing};
}

}  // namespace

PortArgument ResolvePortArgument(std::string_view argument, const fs::path& devFolder) {
  const std::string text(argument);
  std::error_code error;
  const fs::path devAbsolute = fs::absolute(devFolder, error).lexically_normal();

  if (!argument.starts_with("/") && !argument.starts_with(".")) {
    // A name as the port list shows it.
    if (text.find("..") != std::string::npos) return Failure("port name " + text + " is invalid");
    if (!Fits(text)) {
      return Failure("port name " + text + " is longer than " + std::to_string(kPortNameMax) +
                     " characters");
    }
    if (!fs::exists(devAbsolute / text, error)) {
      return Failure("no serial port " + text + " (movrand-flash --list shows the ports)", true);
    }
    return PortArgument{.name = text, .error = {}, .missing = false};
  }

  const fs::path path = fs::absolute(fs::path(text), error).lexically_normal();
  if (!fs::exists(fs::symlink_status(path, error)) || !fs::exists(path, error)) {
    return Failure("no device " + text, true);
  }
  if (std::string name = NameInside(path, devAbsolute); Fits(name)) {
    return PortArgument{.name = std::move(name), .error = {}, .missing = false};
  }
  // Elsewhere, or too long a name: the device the path stands for.
  const fs::path device = fs::canonical(path, error);
  const fs::path devCanonical = fs::canonical(devAbsolute, error);
  if (error) return Failure("no device " + text, true);
  std::string name = NameInside(device, devCanonical);
  if (name.empty()) {
    return Failure(text + " is not a device in " + devAbsolute.string());
  }
  if (!Fits(name)) {
    return Failure("port name " + name + " is longer than " + std::to_string(kPortNameMax) +
                   " characters");
  }
  return PortArgument{.name = std::move(name), .error = {}, .missing = false};
}

}  // namespace movrand::cli
