// Where this system keeps a user's configuration, and where this build installs its
// programs: what a program needs to decide where its settings file and traffic log go.
//
// One file per operating system: on Linux the user's configuration folder is
// "$XDG_CONFIG_HOME/movrand", else "~/.config/movrand", and the installed program folder is
// the build's installation folder for programs; on Windows a program keeps everything beside
// itself, so both are empty there.
#pragma once

#include <filesystem>

namespace movrand {

// The system's program folder of this build's installation; empty where there is none.
std::filesystem::path InstalledProgramFolder();

// The user's configuration folder for this program, made when missing (a folder that cannot
// be made shows when a file in it is written); empty when the system has none for this user
// (no home folder).
std::filesystem::path UserConfigFolder();

}  // namespace movrand
