// Scripted stand-ins for what the main window gets from outside: a fixed clock, a port list
// the test sets, a file dialog that answers as told and dialogs that record what was shown.
// A test builds a window with `FormFixture` and drives it like a user would.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/dialogs.h"
#include "app/main_form.h"
#include "app/services.h"
#include "platform/port_source.h"
#include "platform/virtual_event_loop.h"

namespace movrand::testing {

class FakeClock final : public LocalClock {
 public:
  std::string time = "14:03:12";
  int calls = 0;
  std::string LongTime() override {
    ++calls;
    return time;
  }
};

class FakePortSource final : public PortSource {
 public:
  // Nothing: the system's list cannot be read.
  std::optional<std::vector<SerialPortEntry>> ports = std::vector<SerialPortEntry>{};
  std::optional<std::vector<SerialPortEntry>> ListPorts() override { return ports; }
};

class FakeFileDialog final : public FileDialog {
 public:
  // What the user picks; nothing means Cancel.
  std::optional<std::string> answer;
  // The dialog as it was when it opened.
  std::vector<OpenDialog> shown;
  bool Execute(OpenDialog& dialog) override {
    shown.push_back(dialog);
    if (!answer) return false;
    dialog.FileName = *answer;
    return true;
  }
};

class FakeDialogs final : public Dialogs {
 public:
  ModalResult attentionAnswer = ModalResult::OK;
  int attentionShown = 0;
  bool devProgVisible = false;
  std::vector<std::pair<std::string, std::string>> messages;  // (title, text)

  ModalResult ShowAttention() override {
    ++attentionShown;
    return attentionAnswer;
  }
  void ShowDevProg() override { devProgVisible = true; }
  void HideDevProg() override { devProgVisible = false; }
  void ShowMessage(const std::string& title, const std::string& text) override {
    messages.emplace_back(title, text);
  }
};

inline constexpr const char* kProgramFile = "/opt/movrand/bin/movrand";

// The services, then the window built on them: construct the fixture after setting up
// `ports` by passing them in.
struct FormFixture {
  explicit FormFixture(
      std::optional<std::vector<SerialPortEntry>> initialPorts = std::vector<SerialPortEntry>{},
      std::filesystem::path programFile = kProgramFile)
      : ports(WithPorts(std::move(initialPorts))),
        form(loop, MainFormServices{clock, ports, fileDialog, dialogs, std::move(programFile)}) {}

  static FakePortSource WithPorts(std::optional<std::vector<SerialPortEntry>> list) {
    FakePortSource source;
    source.ports = std::move(list);
    return source;
  }

  VirtualEventLoop loop;
  FakeClock clock;
  FakePortSource ports;
  FakeFileDialog fileDialog;
  FakeDialogs dialogs;
  TMainForm form;
};

}  // namespace movrand::testing
