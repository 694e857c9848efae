#include "win32gui/error_box.h"

#include <windows.h>

#include <exception>
#include <utility>

namespace movrand::win32 {
namespace {

std::function<void(const std::string&)>& errorReporter() {
  static std::function<void(const std::string&)> reporter;  // main thread only
  return reporter;
}

}  // namespace

void showErrorBox(const std::string& message) {
  if (errorReporter()) {
    errorReporter()(message);
    return;
  }
  MessageBoxA(GetActiveWindow(), message.c_str(), kApplicationName, MB_OK | MB_ICONERROR);
}

std::string currentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return std::string();
  }
}

void setErrorReporter(std::function<void(const std::string&)> reporter) {
  errorReporter() = std::move(reporter);
}

}  // namespace movrand::win32
