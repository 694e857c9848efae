// Child processes on Windows: CreateProcess with its standard input, output and error on
// anonymous pipes, in a console process group of its own so that a Ctrl-C typed at the
// console reaches only this program; `interrupt` writes the line "interrupt" to the child's
// input, which the child takes as a press of Ctrl-C. A thread per output pipe reads it; the
// output's thread then waits for the process.
#include <windows.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/child_process.h"

namespace movrand {

struct ChildProcess::State {
  HANDLE process = nullptr;
  HANDLE input = nullptr;  // our end of the child's standard input
  bool ended = false;      // under mutex
  std::mutex mutex;
  std::thread output;
  std::thread error;
};

namespace {

// A child ended by `kill` shows the code a child ended by SIGKILL shows on Linux.
constexpr UINT kKilledExitCode = 128 + 9;

// The command line a C run-time's parser splits back into `args` (quotes and the
// backslashes before them doubled as the rules of CommandLineToArgvW need).
std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string text = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    text.append(backslashes, '\\');
    backslashes = 0;
    text += c;
  }
  text.append(backslashes * 2, '\\');
  text += '"';
  return text;
}

void ReadLines(HANDLE pipe, bool fromError, const ChildProcess::LineHandler& onLine) {
  std::string pending;
  std::array<char, 4096> buffer;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) ||
        got == 0) {
      break;
    }
    pending.append(buffer.data(), got);
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
      std::string line = pending.substr(start, nl - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      onLine(fromError, std::move(line));
    }
    pending.erase(0, start);
    while (pending.size() >= kChildLineMax) {
      onLine(fromError, pending.substr(0, kChildLineMax));
      pending.erase(0, kChildLineMax);
    }
  }
  if (!pending.empty()) onLine(fromError, std::move(pending));
  CloseHandle(pipe);
}

}  // namespace

ChildProcess::ChildProcess() : state_(std::make_unique<State>()) {}

ChildProcess::~ChildProcess() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->process && !state_->ended) TerminateProcess(state_->process, 1);
  }
  // The output's thread joins the error's thread before it ends.
  if (state_->output.joinable()) state_->output.join();
  if (state_->error.joinable()) state_->error.join();
  if (state_->process) CloseHandle(state_->process);
  if (state_->input) CloseHandle(state_->input);
}

Result<void> ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                                 LineHandler onLine, EndHandler onEnd) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  HANDLE input = nullptr, inWrite = nullptr;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0) ||
      !CreatePipe(&errRead, &errWrite, &inherit, 0) || !CreatePipe(&input, &inWrite, &inherit, 0)) {
    for (HANDLE h : {outRead, outWrite, errRead, errWrite, input, inWrite}) {
      if (h) CloseHandle(h);
    }
    return Failure("no pipe for the child");
  }
  // Only the child's ends are inherited.
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  std::string commandLine = Quoted(program);
  for (const std::string& arg : args) commandLine += " " + Quoted(arg);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &info);
  const DWORD why = GetLastError();
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  CloseHandle(input);
  if (!started) {
    CloseHandle(outRead);
    CloseHandle(errRead);
    CloseHandle(inWrite);
    return Failure("cannot start " + program + " (error " + std::to_string(why) + ")");
  }
  CloseHandle(info.hThread);
  State& s = *state_;
  s.process = info.hProcess;
  s.input = inWrite;
  auto sharedLine = std::make_shared<LineHandler>(std::move(onLine));
  s.error = std::thread([errRead, sharedLine] { ReadLines(errRead, true, *sharedLine); });
  s.output = std::thread([&s, outRead, sharedLine, onEnd = std::move(onEnd)] {
    ReadLines(outRead, false, *sharedLine);
    WaitForSingleObject(s.process, INFINITE);
    if (s.error.joinable()) s.error.join();
    DWORD code = 1;
    GetExitCodeProcess(s.process, &code);
    {
      std::lock_guard lock(s.mutex);
      s.ended = true;
    }
    if (onEnd) onEnd(static_cast<int>(code));
  });
  return Done();
}

void ChildProcess::kill() {
  std::lock_guard lock(state_->mutex);
  // The handle keeps the process object: it cannot stand for another process meanwhile.
  if (state_->process && !state_->ended) TerminateProcess(state_->process, kKilledExitCode);
}

void ChildProcess::interrupt() {
  std::lock_guard lock(state_->mutex);
  if (!state_->process || state_->ended || !state_->input) return;
  static constexpr char kLine[] = "interrupt\n";
  DWORD written = 0;
  WriteFile(state_->input, kLine, sizeof kLine - 1, &written, nullptr);
}

std::string OwnProgramPath() {
  std::array<char, MAX_PATH + 1> path{};
  const DWORD length = GetModuleFileNameA(nullptr, path.data(), MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::string(path.data(), length);
}

}  // namespace movrand
