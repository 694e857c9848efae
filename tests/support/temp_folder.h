// A new, empty folder of the system's temporary folder for one test, on Linux and Windows
// alike: made with a name no other test (or test process) uses at the same time.
#pragma once

#include <filesystem>
#include <string_view>

namespace movrand::test {

// `stem` names the test ("movrand-settings"); throws std::runtime_error when no folder can
// be made.
std::filesystem::path MakeTempFolder(std::string_view stem);

}  // namespace movrand::test
