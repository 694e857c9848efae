// The whole on-screen program, built off screen on a scripted port list and a fixed clock,
// with its settings beside a program file in a fresh temporary folder.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/form_fakes.h"
#include "gui/program.h"
#include "platform/port_source.h"

namespace movrand::testing {

// A port list the test changes at will; `onList` runs each time the list is read.
class ScriptedPorts final : public PortSource {
 public:
  std::optional<std::vector<SerialPortEntry>> ports = std::vector<SerialPortEntry>{};
  std::function<void()> onList;
  int reads = 0;
  std::optional<std::vector<SerialPortEntry>> ListPorts() override {
    ++reads;
    if (onList) onList();
    return ports;
  }
};

struct ProgramFixture {
  explicit ProgramFixture(std::vector<SerialPortEntry> initialPorts = {}) {
    auto scripted = std::make_unique<ScriptedPorts>();
    scripted->ports = std::move(initialPorts);
    ports = scripted.get();
    auto fixedClock = std::make_unique<FakeClock>();
    clock = fixedClock.get();
    program = std::make_unique<gui::Program>(gui::Program::Options{
        .ports = std::move(scripted),
        .clock = std::move(fixedClock),
        .programFile = folder.filePath(QStringLiteral("movrand")).toStdString()});
  }

  TMainForm& form() { return program->form(); }
  gui::MainWindow& window() { return program->mainWindow(); }

  QTemporaryDir folder;
  ScriptedPorts* ports = nullptr;
  FakeClock* clock = nullptr;
  std::unique_ptr<gui::Program> program;
};

// Runs the Qt loop until `done` holds or `limitMs` of real time have passed; true when it
// held. For tests that talk to another process over a real port.
template <typename Predicate>
bool RunQtUntil(Predicate done, int limitMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > limitMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Runs `action` once the modal loop that `runModal` starts is going, and ends that loop by
// force after `limit` if the action did not; `timedOut` tells which happened.
template <typename Action, typename RunModal>
auto whileModal(Action action, RunModal runModal, bool& timedOut, int limitMs = 5000) {
  timedOut = false;
  QTimer::singleShot(0, action);
  QTimer rescue;
  rescue.setSingleShot(true);
  QObject::connect(&rescue, &QTimer::timeout, [&timedOut] {
    timedOut = true;
    if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
  });
  rescue.start(limitMs);
  return runModal();
}

}  // namespace movrand::testing
