#include "gui/program.h"

#include <QCoreApplication>
#include <QFile>
#include <utility>

#include "gui/application.h"

namespace movrand::gui {

void QtToolkit::showCurrentError() {
  showErrorBox(currentExceptionMessage());
}

void QtToolkit::run(QtEventLoop&) {
  QCoreApplication::exec();
}

int runProgram(Program::Options options, std::string_view argumentText) {
  return runWindowProgram<QtToolkit>(std::move(options), argumentText);
}

std::filesystem::path programFilePath() {
  return std::filesystem::path(
      QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString());
}

}  // namespace movrand::gui
