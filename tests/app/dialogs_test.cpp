#include <gtest/gtest.h>

#include "app/dialogs.h"

namespace movrand {
namespace {

struct Place {
  int left, top, width;
  bool centred;
  bool operator==(const Place&) const = default;
};
Place PlaceOf(const Label& label) {
  return {label.left(), label.top(), label.width(), label.centred()};
}

TEST(FormAttention, EveryShowingSetsTheTextsAndCentresTheLabelsOnTheWindow) {
  TFormAttention form;
  form.Width = 375;
  form.BeginModal();
  EXPECT_EQ(form.Caption, "Attention!!!");
  EXPECT_EQ(form.Label1.caption(), "Turning device power off or reset");
  EXPECT_EQ(form.Label2.caption(), "during FW update");
  EXPECT_EQ(form.Label3.caption(), "can lead to device damage!!!");
  EXPECT_EQ(PlaceOf(form.Label1), (Place{0, 13, 375, true}));
  EXPECT_EQ(PlaceOf(form.Label2), (Place{0, 47, 375, true}));
  EXPECT_EQ(PlaceOf(form.Label3), (Place{0, 81, 375, true}));
  EXPECT_EQ(form.ActiveControl, &form.BitBtnOK);

  // Whatever happened to the layout in between, the next showing puts it right again.
  form.Label2.setCaption("changed");
  form.Label2.setBounds(40, 5, 100);
  form.Width = 380;
  form.ActiveControl = &form.BitBtnCancel;
  form.BeginModal();
  EXPECT_EQ(form.Label2.caption(), "during FW update");
  EXPECT_EQ(PlaceOf(form.Label2), (Place{0, 47, 380, true}));
  EXPECT_EQ(form.ActiveControl, &form.BitBtnOK);
}

TEST(FormAttention, ButtonsAndCloseBoxGiveTheModalResult) {
  TFormAttention form;
  EXPECT_EQ(static_cast<int>(ModalResult::OK), 1);
  EXPECT_EQ(static_cast<int>(ModalResult::Cancel), 2);

  form.BeginModal();
  EXPECT_EQ(form.modalResult, ModalResult::None);
  form.BitBtnOK.click();
  EXPECT_EQ(form.modalResult, ModalResult::OK);

  form.BeginModal();
  EXPECT_EQ(form.modalResult, ModalResult::None) << "each showing starts without a result";
  form.BitBtnCancel.click();
  EXPECT_EQ(form.modalResult, ModalResult::Cancel);

  form.BeginModal();
  form.CloseByUser();
  EXPECT_EQ(form.modalResult, ModalResult::Cancel);
}

TEST(FormDevProg, EveryShowingSetsTheTextsAndCentresTheLabels) {
  TFormDevProg form;
  form.Width = 534;
  form.FormShow();
  EXPECT_EQ(form.Caption, "Attention!!!");
  EXPECT_EQ(form.Label1.caption(), "Device programming...");
  EXPECT_EQ(form.Label2.caption(), "PLEASE DON'T TURN DEVICE POWER OFF OR RESET !!!");
  EXPECT_EQ(PlaceOf(form.Label1), (Place{0, 13, 534, true}));
  EXPECT_EQ(PlaceOf(form.Label2), (Place{0, 47, 534, true}));

  form.Label1.setCaption("");
  form.FormShow();
  EXPECT_EQ(form.Label1.caption(), "Device programming...");
}

}  // namespace
}  // namespace movrand
