// The warning dialog before programming (TFormAttention) and the notice shown while the module
// restarts after programming (TFormDevProg). The procedures show them, and the message boxes,
// through the Dialogs interface of form/form_surface.h.
//
// Both windows are plain models: a view builds the real window once, calls `FormShow` every
// time before it becomes visible and follows the labels through their listeners. The
// procedures never touch a window directly; they go through `Dialogs`, which the Qt windows
// implement with real modal and modeless windows and tests implement with a fake.
#pragma once

#include <string>

#include "form/form_surface.h"
#include "platform/controls.h"

namespace movrand {

// Title of the plain information box (the application's title).
inline constexpr const char* kApplicationTitle = "Movrand";

class TFormAttention {
 public:
  static constexpr int kClientWidth = 369;
  static constexpr int kClientHeight = 144;

  TFormAttention();
  TFormAttention(const TFormAttention&) = delete;
  TFormAttention& operator=(const TFormAttention&) = delete;

  std::string Caption;
  // The window's outer width (client area plus frame). The view keeps it current; the
  // labels are centred on it.
  int Width = kClientWidth;

  Label Label1;
  Label Label2;
  Label Label3;
  Button BitBtnOK;      // default button (Enter), first to get the focus
  Button BitBtnCancel;  // cancel button (Escape)

  // The control that gets the keyboard focus when the window shows.
  const Control* ActiveControl = nullptr;
  ModalResult modalResult = ModalResult::None;

  // Starts one modal showing: clears the result and runs `FormShow`.
  void BeginModal();
  // Sets the texts and the label places anew on every showing and puts the focus on OK.
  void FormShow();
  void BitBtnOKClick();
  void BitBtnCancelClick();
  // The user closed the window with its close box: counts as Cancel.
  void CloseByUser();
};

class TFormDevProg {
 public:
  static constexpr int kClientWidth = 528;
  static constexpr int kClientHeight = 90;

  TFormDevProg() = default;
  TFormDevProg(const TFormDevProg&) = delete;
  TFormDevProg& operator=(const TFormDevProg&) = delete;

  std::string Caption;
  int Width = kClientWidth;  // outer width, kept current by the view
  Label Label1;              // shown in bold red
  Label Label2;              // shown in bold red

  // Sets the texts and the label places anew on every showing.
  void FormShow();
};

}  // namespace movrand
