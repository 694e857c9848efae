#include "cli/headless_dialogs.h"

#include <cstdio>
#include <utility>

#include "platform/console.h"

namespace movrand::cli {
namespace {

// Put to the technician before programming; only "y" or "Y" confirms.
constexpr std::string_view kConfirmQuestion = "Program the module now? [y/N] ";
// An answer is a letter; anything this long is not one.
constexpr std::size_t kMaxAnswerLength = 256;

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

HeadlessDialogs::HeadlessDialogs(LogPrinter& printer, bool assumeYes, Ask ask)
    : printer_(printer), assumeYes_(assumeYes), ask_(std::move(ask)) {}

ModalResult HeadlessDialogs::ShowAttention() {
  ++attentionShown_;
  attention_.BeginModal();
  const std::string warning = attention_.Label1.caption() + "\n" + attention_.Label2.caption() +
                              "\n" + attention_.Label3.caption();
  printer_.message("confirm", attention_.Caption, warning);
  bool yes = assumeYes_;
  if (!yes && ask_) {
    // A script reading the events learns that an answer is awaited on standard input.
    if (printer_.mode() == OutputMode::Json) {
      printer_.message("question", attention_.Caption, kConfirmQuestion);
    }
    yes = ask_(std::string(kConfirmQuestion));
  }
  if (yes) {
    attention_.BitBtnOKClick();
  } else {
    attention_.BitBtnCancelClick();
  }
  printer_.message("confirm", attention_.Caption,
                   yes ? (assumeYes_ ? "confirmed (--yes)" : "confirmed") : "declined");
  lastAttention_ = attention_.modalResult;
  return attention_.modalResult;
}

void HeadlessDialogs::ShowDevProg() {
  devProg_.FormShow();
  printer_.message("notice", devProg_.Caption,
                   devProg_.Label1.caption() + "\n" + devProg_.Label2.caption());
}

void HeadlessDialogs::HideDevProg() {
  // The notice is a printed line; there is nothing to take away.
}

void HeadlessDialogs::ShowMessage(const std::string& title, const std::string& text) {
  printer_.message("box", title, text);
}

bool AskOnTerminal(const std::string& question, const std::atomic<bool>& interrupted) {
  std::fputs(question.c_str(), stderr);
  std::fflush(stderr);
  const std::optional<std::string> answer = ReadInputLine(interrupted, kMaxAnswerLength);
  if (!answer) {
    if (interrupted) std::fputs("\n", stderr);
    return false;  // end of input, Ctrl-C or no answer at all: nobody said yes
  }
  const std::string word = Trimmed(*answer);
  return word == "y" || word == "Y";
}

}  // namespace movrand::cli
