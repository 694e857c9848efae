#include "qt_app_environment.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <memory>

#include "gui/application.h"

namespace movrand::testing {
namespace {

constexpr std::chrono::milliseconds kPollInterval{5};

class QtAppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Never a window on the developer's screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<gui::Application>(argc_, argv_);
    gui::Application::setErrorReporter(
        [](const QString& message) { reportedErrors().push_back(message); });
  }
  void TearDown() override {
    gui::Application::setErrorReporter(nullptr);
    app_.reset();
  }

 private:
  int argc_ = 1;
  char name_[16] = "movrand-tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<gui::Application> app_;
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

}  // namespace

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() >= limit.count()) return done();
    // Sleeps in the event loop, woken by any event or by the short poll interval.
    QEventLoop loop;
    QTimer::singleShot(kPollInterval, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

std::vector<QString>& reportedErrors() {
  static std::vector<QString> errors;
  return errors;
}

}  // namespace movrand::testing
