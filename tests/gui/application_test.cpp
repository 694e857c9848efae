#include "gui/application.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <stdexcept>

#include "qt_app_environment.h"

namespace movrand {
namespace {

// An object whose event handler throws, as a handler deep inside the toolkit might.
class Throwing : public QObject {
 public:
  bool event(QEvent* event) override {
    if (event->type() == QEvent::User) throw std::runtime_error("Invalid data type for 'x'");
    if (event->type() == QEvent::Type(QEvent::User + 1)) throw 42;
    if (event->type() == QEvent::Type(QEvent::User + 2)) {
      handled = true;
      return true;
    }
    return QObject::event(event);
  }
  bool handled = false;
};

TEST(Application, AnExceptionReachingTheEventDispatchIsShownAndTheLoopGoesOn) {
  testing::reportedErrors().clear();
  Throwing target;
  QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
  QCoreApplication::postEvent(&target, new QEvent(QEvent::Type(QEvent::User + 1)));
  QCoreApplication::postEvent(&target, new QEvent(QEvent::Type(QEvent::User + 2)));
  ASSERT_TRUE(testing::waitUntil([&] { return target.handled; }));
  ASSERT_EQ(testing::reportedErrors().size(), 2u);
  EXPECT_EQ(testing::reportedErrors()[0], "Invalid data type for 'x'");
  EXPECT_TRUE(testing::reportedErrors()[1].isEmpty());  // not a std::exception
}

TEST(Application, GuardedWorkReportsWhatItThrows) {
  testing::reportedErrors().clear();
  bool after = false;
  gui::runGuarded([] { throw std::logic_error("bad"); });
  gui::runGuarded([&] { after = true; });
  ASSERT_EQ(testing::reportedErrors().size(), 1u);
  EXPECT_EQ(testing::reportedErrors()[0], "bad");
  EXPECT_TRUE(after);
}

TEST(Application, IsTitledMovrandWithoutChangingWindowTitles) {
  EXPECT_EQ(QCoreApplication::applicationName(), "Movrand");
  // A display name would be appended to every window's title by the window system layer.
  EXPECT_TRUE(QGuiApplication::applicationDisplayName() == QCoreApplication::applicationName());
}

}  // namespace
}  // namespace movrand
