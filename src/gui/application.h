// The Qt application of the program: the error box for exceptions that escape a handler, and
// the application object that catches them so the program goes on.
//
// Every handler runs inside the application's event dispatch. An exception that leaves one
// is shown in the error box with its message (an empty message when it is not a
// std::exception) and the loop runs on: the windows and the event loop catch at their own
// calls into the models (`runGuarded`), and `notify` catches whatever else gets that far.
#pragma once

#include <QApplication>
#include <QString>
#include <functional>

namespace movrand::gui {

// The application's title: window-system class and the title of its message boxes.
inline constexpr const char* kApplicationName = "Movrand";

// Shows the standard error box with `message`, over the active window. Main thread.
void showErrorBox(const QString& message);

// The message of the exception being handled (inside a catch block): its what() for a
// std::exception, empty otherwise.
QString currentExceptionMessage();

// Runs a handler; what it throws is shown in the error box and goes no further. Every call
// from Qt into the models goes through here, so no exception unwinds through Qt's own code
// (which is built without exception support and would leak what its frames hold).
template <typename Work>
void runGuarded(Work&& work) {
  try {
    work();
  } catch (...) {
    showErrorBox(currentExceptionMessage());
  }
}

class Application : public QApplication {
 public:
  Application(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;

  // Replaces the error box (tests record the messages instead of showing a modal box).
  static void setErrorReporter(std::function<void(const QString&)> reporter);
};

}  // namespace movrand::gui
