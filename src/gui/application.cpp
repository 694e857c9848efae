#include "gui/application.h"

#include <QMessageBox>
#include <exception>
#include <utility>

namespace movrand::gui {
namespace {

std::function<void(const QString&)>& errorReporter() {
  static std::function<void(const QString&)> reporter;  // main thread only
  return reporter;
}

}  // namespace

void showErrorBox(const QString& message) {
  if (errorReporter()) {
    errorReporter()(message);
    return;
  }
  QMessageBox::critical(QApplication::activeWindow(), QString::fromLatin1(kApplicationName),
                        message);
}

QString currentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& error) {
    return QString::fromStdString(error.what());
  } catch (...) {
    return QString();
  }
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
  // The name, not the display name: Qt would append a display name to every window title.
  setApplicationName(QString::fromLatin1(kApplicationName));
}

bool Application::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    showErrorBox(currentExceptionMessage());
    return true;
  }
}

void Application::setErrorReporter(std::function<void(const QString&)> reporter) {
  errorReporter() = std::move(reporter);
}

}  // namespace movrand::gui
