#include "app/dialogs.h"

namespace movrand {
namespace {

// The labels stand one under the other, this far apart, starting this far from the top.
constexpr int kFirstLabelTop = 13;
constexpr int kLabelPitch = 34;

void PlaceCentred(Label& label, int index, int windowWidth) {
  label.setBounds(0, kFirstLabelTop + kLabelPitch * index, windowWidth);
  label.setCentred(true);
}

}  // namespace

TFormAttention::TFormAttention() {
  BitBtnOK.setCaption("OK");
  BitBtnCancel.setCaption("Cancel");
  BitBtnOK.onClick = [this] { BitBtnOKClick(); };
  BitBtnCancel.onClick = [this] { BitBtnCancelClick(); };
}

void TFormAttention::BeginModal() {
  modalResult = ModalResult::None;
  FormShow();
}

void TFormAttention::FormShow() {
  Caption = "Attention!!!";
  Label1.setCaption("Turning device power off or reset");
  Label2.setCaption("during FW update");
  Label3.setCaption("can lead to device damage!!!");
  // Centred on the full window width on every showing, whatever the stored layout says.
  Label* labels[] = {&Label1, &Label2, &Label3};
  for (int i = 0; i < 3; ++i) PlaceCentred(*labels[i], i, Width);
  // Enter confirms at once.
  ActiveControl = &BitBtnOK;
}

void TFormAttention::BitBtnOKClick() {
  modalResult = ModalResult::OK;
}

void TFormAttention::BitBtnCancelClick() {
  modalResult = ModalResult::Cancel;
}

void TFormAttention::CloseByUser() {
  if (modalResult == ModalResult::None) modalResult = ModalResult::Cancel;
}

void TFormDevProg::FormShow() {
  Caption = "Attention!!!";
  Label1.setCaption("Device programming...");
  Label2.setCaption("PLEASE DON'T TURN DEVICE POWER OFF OR RESET !!!");
  PlaceCentred(Label1, 0, Width);
  PlaceCentred(Label2, 1, Width);
}

}  // namespace movrand
