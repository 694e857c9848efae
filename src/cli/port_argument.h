// What the --port argument names: the bare port name that the serial link opens (the part of
// the device path after the device folder, as the port list shows it), found from either a
// port-list name or a device path.
//
// A path inside the device folder keeps its own name (/dev/ttySIM0 stays ttySIM0, even when
// it is a link to a pseudo-terminal); a path elsewhere, or one whose name is too long for the
// connection's port-name field, is followed through its links to the device it stands for.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace movrand::cli {

struct PortArgument {
  std::string name;      // what the port selector and the serial link use; empty on error
  std::string error;     // why the argument names no usable port
  bool missing = false;  // the port does not exist (as opposed to a malformed argument)
};

// `devFolder` is where device nodes live ("/dev"); tests pass a fake tree.
PortArgument ResolvePortArgument(std::string_view argument,
                                 const std::filesystem::path& devFolder = "/dev");

}  // namespace movrand::cli
