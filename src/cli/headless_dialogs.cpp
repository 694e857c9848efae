#include "cli/headless_dialogs.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <utility>

namespace movrand::cli {
namespace {

// How often a waiting question looks whether Ctrl-C was pressed.
constexpr std::chrono::milliseconds kAnswerPoll{100};
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
  std::string answer;
  for (;;) {
    if (interrupted) {
      std::fputs("\n", stderr);
      return false;
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, 1, static_cast<int>(kAnswerPoll.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    if (ready == 0) continue;
    char c = 0;
    const ssize_t got = read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // end of input: nobody to say yes
    if (c == '\n') break;
    if (answer.size() >= kMaxAnswerLength) return false;
    answer += c;
  }
  const std::string word = Trimmed(answer);
  return word == "y" || word == "Y";
}

}  // namespace movrand::cli
