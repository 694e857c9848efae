// The error box for exceptions that escape a handler, and the guard every call from a window
// procedure into the models goes through.
//
// No exception may unwind through the system's code between a window procedure and the
// message loop, so each window procedure and the event loop run the models' handlers inside
// `runGuarded`: what a handler throws is shown in the error box with its message (an empty
// message when it is not a std::exception) and the program goes on.
#pragma once

#include <functional>
#include <string>

namespace movrand::win32 {

// The application's title: the title of its message boxes and its task bar button.
inline constexpr const char* kApplicationName = "Movrand";

// Shows the standard error box with `message` over the active window. Main thread.
void showErrorBox(const std::string& message);

// The message of the exception being handled (inside a catch block): its what() for a
// std::exception, empty otherwise.
std::string currentExceptionMessage();

// Runs a handler; what it throws is shown in the error box and goes no further. Returns false
// when it threw.
template <typename Work>
bool runGuarded(Work&& work) {
  try {
    work();
    return true;
  } catch (...) {
    showErrorBox(currentExceptionMessage());
    return false;
  }
}

// Replaces the error box (tests record the messages instead of showing a modal box); an empty
// function brings the box back.
void setErrorReporter(std::function<void(const std::string&)> reporter);

}  // namespace movrand::win32
