#include "gui/dialog_windows.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <functional>

#include "app/layout.h"
#include "gui/main_window.h"
#include "program_fixture.h"
#include "qt_app_environment.h"

namespace movrand {
namespace {

using testing::ProgramFixture;

TEST(AttentionDialog, HasItsFixedSizeButtonsAndFont) {
  ProgramFixture f;
  gui::AttentionDialog& d = f.program->attentionWindow();
  EXPECT_EQ(d.size(), QSize(369, 144));
  EXPECT_EQ(d.minimumSize(), d.maximumSize());
  EXPECT_FALSE(d.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(d.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(d.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_EQ(d.font().pixelSize(), 16);
  for (const Place& place : kAttentionLayout) {
    SCOPED_TRACE(std::string(place.name));
    const auto* button = d.findChild<QPushButton*>(
        QString::fromLatin1(place.name.data(), static_cast<qsizetype>(place.name.size())));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->geometry(), QRect(place.x, place.y, place.width, place.height));
    EXPECT_FALSE(button->icon().isNull());
  }
  EXPECT_EQ(d.BitBtnOK->text(), "OK");
  EXPECT_EQ(d.BitBtnCancel->text(), "Cancel");
  EXPECT_TRUE(d.BitBtnOK->isDefault());
  // Cancel comes first in the tab order, OK right after it.
  EXPECT_EQ(d.BitBtnCancel->nextInFocusChain(), d.BitBtnOK);
}

struct Answer {
  const char* name;
  std::function<void(gui::AttentionDialog&)> act;
  ModalResult expected;
};

TEST(AttentionDialog, EnterConfirmsWhileEscapeCancelAndTheCloseBoxDecline) {
  const Answer answers[] = {
      {"Enter", [](gui::AttentionDialog& d) { QTest::keyClick(d.focusWidget(), Qt::Key_Return); },
       ModalResult::OK},
      {"Escape", [](gui::AttentionDialog& d) { QTest::keyClick(d.focusWidget(), Qt::Key_Escape); },
       ModalResult::Cancel},
      {"close box", [](gui::AttentionDialog& d) { d.close(); }, ModalResult::Cancel},
      {"OK button", [](gui::AttentionDialog& d) { QTest::mouseClick(d.BitBtnOK, Qt::LeftButton); },
       ModalResult::OK},
      {"Cancel button",
       [](gui::AttentionDialog& d) { QTest::mouseClick(d.BitBtnCancel, Qt::LeftButton); },
       ModalResult::Cancel},
  };
  // One dialog for all answers: every showing starts afresh.
  ProgramFixture f;
  f.window().show();
  gui::AttentionDialog& d = f.program->attentionWindow();
  for (const Answer& answer : answers) {
    SCOPED_TRACE(answer.name);
    QWidget* focusedAtShow = nullptr;
    bool visibleAtShow = false;
    bool timedOut = false;
    const ModalResult result = testing::whileModal(
        [&] {
          visibleAtShow = d.isVisible();
          focusedAtShow = d.focusWidget();
          answer.act(d);
        },
        [&] { return f.program->dialogs().ShowAttention(); }, timedOut);
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(visibleAtShow);
    EXPECT_EQ(focusedAtShow, d.BitBtnOK);
    EXPECT_EQ(result, answer.expected);
    EXPECT_EQ(f.program->attentionForm().modalResult, answer.expected);
    EXPECT_FALSE(d.isVisible());
  }
}

TEST(AttentionDialog, ShowsItsTextsCentredAcrossTheWholeWidth) {
  ProgramFixture f;
  gui::AttentionDialog& d = f.program->attentionWindow();
  // Twice: from the second showing on the window system has told the frame's size, and the
  // labels span the window's outer width as it is then.
  for (int showing = 0; showing < 2; ++showing) {
    bool timedOut = false;
    testing::whileModal([&] { d.close(); }, [&] { return f.program->dialogs().ShowAttention(); },
                        timedOut);
  }
  EXPECT_EQ(f.program->attentionForm().Width, d.frameGeometry().width());
  EXPECT_EQ(d.windowTitle(), "Attention!!!");
  const QLabel* labels[] = {d.Label1, d.Label2, d.Label3};
  const char* texts[] = {"Turning device power off or reset", "during FW update",
                         "can lead to device damage!!!"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(labels[i]->text(), texts[i]);
    EXPECT_EQ(labels[i]->x(), 0);
    EXPECT_EQ(labels[i]->y(), 13 + 34 * i);
    EXPECT_EQ(labels[i]->width(), d.frameGeometry().width());
    EXPECT_TRUE(labels[i]->alignment() & Qt::AlignHCenter);
  }
}

TEST(DevProgWindow, ShowsWithoutBlockingAndItsCloseBoxOnlyHidesIt) {
  ProgramFixture f;
  gui::MainWindow& main = f.window();
  main.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
  gui::DevProgWindow& notice = f.program->devProgWindow();
  EXPECT_EQ(notice.size(), QSize(528, 90));
  EXPECT_EQ(notice.minimumSize(), notice.maximumSize());

  f.program->dialogs().ShowDevProg();  // returns at once
  f.program->dialogs().HideDevProg();
  f.program->dialogs().ShowDevProg();  // with the frame's size known now
  EXPECT_TRUE(notice.isVisible());
  EXPECT_FALSE(notice.isModal());
  EXPECT_EQ(notice.windowTitle(), "Attention!!!");
  EXPECT_EQ(notice.Label1->text(), "Device programming...");
  EXPECT_EQ(notice.Label2->text(), "PLEASE DON'T TURN DEVICE POWER OFF OR RESET !!!");
  for (const QLabel* label : {notice.Label1, notice.Label2}) {
    EXPECT_TRUE(label->font().bold());
    EXPECT_EQ(label->font().pixelSize(), 16);
    EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(Qt::red));
    EXPECT_EQ(label->x(), 0);
    EXPECT_EQ(label->width(), notice.frameGeometry().width());
    EXPECT_TRUE(label->alignment() & Qt::AlignHCenter);
  }
  EXPECT_EQ(notice.Label1->y(), 13);
  EXPECT_EQ(notice.Label2->y(), 47);

  // The main window still takes input meanwhile.
  int clicks = 0;
  f.form().SpeedButtonSynch.onClick = [&] { ++clicks; };
  QTest::mouseClick(main.SpeedButtonSynch, Qt::LeftButton);
  EXPECT_EQ(clicks, 1);

  notice.close();
  EXPECT_FALSE(notice.isVisible());
  EXPECT_TRUE(main.isVisible());

  f.program->dialogs().ShowDevProg();
  EXPECT_TRUE(notice.isVisible());
  f.program->dialogs().HideDevProg();
  EXPECT_FALSE(notice.isVisible());
}

TEST(QtDialogs, AMessageBoxShowsTitleAndTextWithAnOkButton) {
  ProgramFixture f;
  f.window().show();
  QString title, text;
  bool timedOut = false;
  testing::whileModal(
      [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
          title = box->windowTitle();
          text = box->text();
          if (QAbstractButton* ok = box->button(QMessageBox::Ok)) ok->click();
        }
      },
      [&] {
        f.program->dialogs().ShowMessage("Warning", f.form().Messages.TextCancelAdvice);
        return 0;
      },
      timedOut);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(title, "Warning");
  EXPECT_EQ(text.toStdString(), f.form().Messages.TextCancelAdvice);
}

TEST(QtFileFilter, TranslatesDescriptionPatternPairs) {
  const struct {
    const char* from;
    const char* to;
  } cases[] = {
      {"binary (*.bin)|*.bin", "binary (*.bin)"},
      {"Images|*.png;*.jpg", "Images (*.png *.jpg)"},
      {"a|*.a|b (*.b)|*.b", "a (*.a);;b (*.b)"},
      {"binary (*.bin)|*.hex", "binary (*.bin) (*.hex)"},
      {"", ""},
      {"no pattern", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(gui::qtFileFilter(c.from), QString::fromLatin1(c.to)) << c.from;
  }
}

}  // namespace
}  // namespace movrand
