// The console on Windows: the console window's width, a console control handler for Ctrl-C,
// and the answer read from the console's key events (or from a pipe or file when standard
// input is redirected), so that Ctrl-C is seen while it waits.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "platform/console.h"

namespace movrand {
namespace {

// How often a waiting answer looks whether Ctrl-C was pressed.
constexpr DWORD kLookIntervalMs = 100;
constexpr DWORD kKeyBatch = 64;  // console input records taken at a time

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

void Echo(const char* text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
}

}  // namespace

namespace {

// The console as PrepareConsoleOutput found it. Written once on the main thread before any
// other thread could end the program, read at the end.
struct SavedConsole {
  std::atomic<bool> saved{false};
  DWORD mode = 0;
  UINT codePage = 0;
};
SavedConsole gSavedConsole;

}  // namespace

bool PrepareConsoleOutput() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == nullptr || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  // The redrawn line ends with the erase-to-line-end sequence, which a console shows only
  // with virtual terminal processing; consoles older than Windows 10 refuse it.
  const UINT codePage = GetConsoleOutputCP();
  if (!SetConsoleMode(out, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    return false;
  }
  gSavedConsole.mode = mode;
  gSavedConsole.codePage = codePage;
  gSavedConsole.saved = true;
  SetConsoleOutputCP(CP_UTF8);  // printed texts are UTF-8
  return true;
}

void RestoreConsoleOutput() {
  if (!gSavedConsole.saved.exchange(false)) return;
  SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), gSavedConsole.mode);
  if (gSavedConsole.codePage != 0) SetConsoleOutputCP(gSavedConsole.codePage);
}

int ConsoleWidth() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

// The system calls the control handler on a thread of its own. One watch at a time is
// registered; the lock keeps a press from calling a handler that `stop` has taken away.
struct InterruptWatch::State {
  std::mutex mutex;
  std::function<void()> onInterrupt;  // under mutex
  std::atomic<bool> interrupted{false};
  bool registered = false;
};

namespace {

std::mutex gWatchMutex;
InterruptWatch::State* gWatch = nullptr;  // the registered watch, under gWatchMutex

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // closing: default
  std::lock_guard watchLock(gWatchMutex);
  if (!gWatch) return FALSE;
  gWatch->interrupted = true;
  std::lock_guard lock(gWatch->mutex);
  if (gWatch->onInterrupt) gWatch->onInterrupt();
  return TRUE;  // handled: the program cancels and ends by itself
}

}  // namespace

InterruptWatch::InterruptWatch() : state_(std::make_unique<State>()) {
  std::lock_guard watchLock(gWatchMutex);
  gWatch = state_.get();
  // Registered from the start, so that a press before `start` is noted rather than ending
  // the program half-way through its preparations.
  state_->registered = SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
}

InterruptWatch::~InterruptWatch() {
  stop();
  if (state_->registered) SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  std::lock_guard watchLock(gWatchMutex);
  if (gWatch == state_.get()) gWatch = nullptr;
}

void InterruptWatch::start(std::function<void()> onInterrupt) {
  std::lock_guard lock(state_->mutex);
  state_->onInterrupt = std::move(onInterrupt);
}

void InterruptWatch::stop() {
  std::lock_guard lock(state_->mutex);
  state_->onInterrupt = nullptr;
}

const std::atomic<bool>& InterruptWatch::interrupted() const {
  return state_->interrupted;
}

namespace {

// Typed keys, echoed on standard error where the question stands; Backspace takes back one.
std::optional<std::string> ReadConsoleLine(HANDLE input, const std::atomic<bool>& interrupted,
                                           std::size_t limit) {
  std::string line;
  INPUT_RECORD records[kKeyBatch];
  for (;;) {
    if (interrupted) return std::nullopt;
    const DWORD woke = WaitForSingleObject(input, kLookIntervalMs);
    if (woke == WAIT_TIMEOUT) continue;
    if (woke != WAIT_OBJECT_0) return std::nullopt;
    DWORD count = 0;
    if (!ReadConsoleInputA(input, records, kKeyBatch, &count)) return std::nullopt;
    for (DWORD i = 0; i < count; ++i) {
      const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
      if (records[i].EventType != KEY_EVENT || !key.bKeyDown) continue;
      const char c = key.uChar.AsciiChar;
      for (WORD n = 0; n < std::max<WORD>(key.wRepeatCount, 1); ++n) {
        if (c == '\r' || c == '\n') {
          Echo("\n");
          return line;
        }
        if (c == '\b') {
          if (!line.empty()) {
            line.pop_back();
            Echo("\b \b");
          }
          continue;
        }
        if (static_cast<unsigned char>(c) < 0x20) continue;  // arrows, Ctrl, function keys
        if (line.size() >= limit) return std::nullopt;
        line += c;
        const char shown[2] = {c, '\0'};
        Echo(shown);
      }
    }
  }
}

// One byte of a redirected input into `line`.
enum class Took { More, Line, End };  // End: end of input, a read error or too long a line

Took TakeByte(HANDLE input, std::string& line, std::size_t limit) {
  char c = 0;
  DWORD got = 0;
  if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) return Took::End;
  if (c == '\n') {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return Took::Line;
  }
  if (line.size() >= limit) return Took::End;
  line += c;
  return Took::More;
}

// A file never blocks for long: read it byte by byte up to the line end, after `line`.
std::optional<std::string> ReadFileLine(HANDLE input, std::size_t limit, std::string line = {}) {
  for (;;) {
    const Took took = TakeByte(input, line, limit);
    if (took == Took::Line) return line;
    if (took == Took::End) return std::nullopt;
  }
}

// A pipe is read only once it holds a byte, so the wait can look at `interrupted`.
std::optional<std::string> ReadPipeLine(HANDLE input, const std::atomic<bool>& interrupted,
                                        std::size_t limit) {
  std::string line;
  for (;;) {
    if (interrupted) return std::nullopt;
    DWORD available = 0;
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) return std::nullopt;  // the writer has gone
      // A pipe that cannot be looked into (some emulations): wait for the line in the read.
      return ReadFileLine(input, limit, std::move(line));
    }
    if (available == 0) {
      Sleep(kLookIntervalMs);
      continue;
    }
    const Took took = TakeByte(input, line, limit);
    if (took == Took::Line) return line;
    if (took == Took::End) return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> ReadInputLine(const std::atomic<bool>& interrupted, std::size_t limit) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return std::nullopt;
  if (IsConsole(input)) return ReadConsoleLine(input, interrupted, limit);
  if (GetFileType(input) == FILE_TYPE_PIPE) return ReadPipeLine(input, interrupted, limit);
  return ReadFileLine(input, limit);
}

}  // namespace movrand
