// What a port argument of the command line names: the bare port name that the serial link
// opens, as the port list shows it, checked against the system.
//
// Linux names a port by its device node: a name under the device folder ("ttyUSB0",
// "pts/3") or a path. A path inside the device folder keeps its own name (/dev/ttySIM0 stays
// ttySIM0, even when it is a link to a pseudo-terminal); a path elsewhere, or one whose name
// is too long, is followed through its links to the device it stands for.
//
// Windows names a port as the system's device: "COM5", or the full device path "\\.\COM12"
// (the prefix that ports numbered 10 and above need elsewhere); letters in any case.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace movrand {

struct PortLookup {
  std::string name;      // what the port selector and the serial link use; empty on error
  std::string error;     // why the argument names no usable port
  bool missing = false;  // the port does not exist (as opposed to a malformed argument)
};

// By this system's rules, for names of at most `maxNameLength` characters.
PortLookup LookUpPort(std::string_view argument, std::size_t maxNameLength);

// Linux's rules with `devFolder` as the device folder (tests give a fake tree).
PortLookup LookUpDevicePort(std::string_view argument, std::size_t maxNameLength,
                            const std::filesystem::path& devFolder);

// Windows's rules; `exists` says whether the system has a device of that port name now.
PortLookup LookUpComPort(std::string_view argument, std::size_t maxNameLength,
                         const std::function<bool(const std::string& name)>& exists);

}  // namespace movrand
