// The window's dialogs without a window: the confirmation before programming is answered from
// --yes or asked on the terminal, the programming notice and the message boxes are printed,
// and the file dialog "chooses" the image named on the command line.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "app/dialogs.h"
#include "app/services.h"
#include "cli/log_printer.h"

namespace movrand::cli {

class HeadlessDialogs final : public Dialogs {
 public:
  // Puts the question to the technician; true only for a "yes".
  using Ask = std::function<bool(const std::string& question)>;

  // With `assumeYes` the confirmation is given at once and `ask` is never called.
  HeadlessDialogs(LogPrinter& printer, bool assumeYes, Ask ask);

  ModalResult ShowAttention() override;
  void ShowDevProg() override;
  void HideDevProg() override;
  void ShowMessage(const std::string& title, const std::string& text) override;

  int attentionShown() const { return attentionShown_; }
  // The answer of the last confirmation, nothing before the first.
  std::optional<ModalResult> lastAttention() const { return lastAttention_; }

 private:
  LogPrinter& printer_;
  bool assumeYes_;
  Ask ask_;
  TFormAttention attention_;
  TFormDevProg devProg_;
  int attentionShown_ = 0;
  std::optional<ModalResult> lastAttention_;
};

// The question on standard error and one line of answer from standard input: true only for
// "y" or "Y" (blanks around it ignored). End of input, a read error, a line longer than an
// answer could be, or `interrupted` becoming true while it waits all count as "no".
bool AskOnTerminal(const std::string& question, const std::atomic<bool>& interrupted);

// The file dialog of a run: accepts at once with the image given on the command line.
class PathFileDialog final : public FileDialog {
 public:
  explicit PathFileDialog(std::string path) : path_(std::move(path)) {}
  bool Execute(OpenDialog& dialog) override {
    if (path_.empty()) return false;
    dialog.FileName = path_;
    return true;
  }

 private:
  std::string path_;
};

}  // namespace movrand::cli
