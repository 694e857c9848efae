// movrand-flash: the headless front end. The same main window model as the window, driven
// from the command line; see options.h for the command line and the exit codes, flash_run.h
// for how a run goes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "app/comm_session.h"
#include "app/command_line.h"
#include "app/main_form.h"
#include "app/services.h"
#include "cli/flash_run.h"
#include "cli/headless_dialogs.h"
#include "cli/latency_watch.h"
#include "cli/line.h"
#include "cli/line_view.h"
#include "cli/log_printer.h"
#include "cli/options.h"
#include "cli/port_listing.h"
#include "cli/record.h"
#include "cli/station.h"
#include "cli/stop_guard.h"
#include "platform/console.h"
#include "platform/port_identity.h"
#include "platform/port_names.h"
#include "platform/port_source.h"
#include "platform/read_only_file.h"
#include "platform/serial_device.h"
#include "platform/std_event_loop.h"
#include "programming/image.h"
#include "programming/programming.h"
#include "protocol/module_contract.h"
#include "protocol/visible_text.h"

namespace {

namespace fs = std::filesystem;
using namespace movrand;
using namespace movrand::cli;

// The window's program file is "movrand"; this one's settings file would be
// "movrand-flash.ini" in the current folder. The run never writes it, and every choice it
// could hold is set from the command line after it was read.
constexpr const char* kProgramFileName = "movrand-flash";

// A forced end gives its last words this long to reach a terminal or pipe that may take
// nothing more, then ends the process without them.
constexpr std::chrono::milliseconds kLastWordsWait{300};

void WriteOut(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// A run that never returns here: the guard's forced end is under way and ends the process.
[[noreturn]] void AwaitForcedEnd() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// What the guard's forced end needs, kept up to date by the main thread as the run goes.
struct Ending {
  std::mutex mutex;
  RunSummary summary;      // as the run stands, but for the two counts below
  std::string waitingFor;  // what the run waits for now
  // The transfer's counts, kept at every block without taking the lock.
  std::atomic<std::int64_t> sentBytes{0};
  std::atomic<int> blocksRepeated{0};
  RecordFile* record = nullptr;
  std::string port;
  std::optional<UsbIdentity> portUsb;
  std::optional<std::string> imageName;
  std::optional<int> timeoutSeconds;
  OutputMode mode = OutputMode::Plain;
  std::chrono::system_clock::time_point started = std::chrono::system_clock::now();
  std::chrono::steady_clock::time_point startedSteady = std::chrono::steady_clock::now();
  // An unattended station records only the module it is handling (none while it waits).
  bool continuous = false;
  std::optional<ModuleFacts> module;
};

// The run's message on standard error: what failed, its code and why.
std::string FailureText(const RunSummary& summary) {
  const std::string reason = summary.reasonText ? " (" + *summary.reasonText + ")" : "";
  std::string text = "movrand-flash: " + std::string(ExitCodeMeaning(summary.code)) +
                     " (exit code " + std::to_string(static_cast<int>(summary.code)) + ")";
  if (!summary.detail.empty()) text += ": " + VisibleText(summary.detail);
  text += reason + "\n";
  if (summary.hint) text += "movrand-flash: hint: " + *summary.hint + "\n";
  return text;
}

// The record's line of this run, when there is a record; a failed write makes the run's
// code "record" unless it is already worse. The error in words, or empty.
std::string Record(RecordFile* record, const std::string& port, RunSummary& summary,
                   const std::optional<std::string>& imageName,
                   std::chrono::system_clock::time_point started,
                   std::chrono::steady_clock::time_point startedSteady,
                   std::optional<ModuleFacts> module = std::nullopt) {
  if (!record) return {};
  std::optional<ImageFacts> image;
  if (imageName) {
    image =
        ImageFacts{.name = *imageName, .bytes = summary.imageBytes, .sha256 = summary.imageSha256};
  }
  StationRecord line{.time = started, .port = port, .summary = summary, .image = image};
  line.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - startedSteady).count();
  line.module = module;
  std::string error = record->append(RecordLine(line));
  if (!error.empty()) {
    summary.code = WorseOf(summary.code, ExitCode::RecordFailed);
    if (summary.code == ExitCode::RecordFailed) summary.detail = error;
  }
  return error;
}

// Writes `out` to standard output and `err` to standard error from a thread of their own and
// waits for them at most `limit`: the main thread may hold either stream, stuck in a write
// that a stopped terminal or a full pipe does not take.
void WriteLastWords(std::string out, std::string err, std::chrono::milliseconds limit) {
  struct Done {
    std::mutex mutex;
    std::condition_variable written;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  std::thread([done, out = std::move(out), err = std::move(err)] {
    if (!out.empty()) WriteOut(out);
    if (!err.empty()) {
      std::fwrite(err.data(), 1, err.size(), stderr);
      std::fflush(stderr);
    }
    std::lock_guard lock(done->mutex);
    done->done = true;
    done->written.notify_all();
  }).detach();
  std::unique_lock lock(done->mutex);
  done->written.wait_for(lock, limit, [&] { return done->done; });
}

// The guard's end of a run whose main thread did not answer in time: the record line, the
// result, the console as it was, and the process ends with `code`.
[[noreturn]] void ForceEnd(Ending& ending, ExitCode code) {
  RunSummary summary;
  std::string waitingFor;
  RecordFile* record = nullptr;
  std::string port;
  OutputMode mode = OutputMode::Plain;
  std::optional<ModuleFacts> module;
  bool continuous = false;
  std::chrono::system_clock::time_point started;
  std::chrono::steady_clock::time_point startedSteady;
  {
    std::lock_guard lock(ending.mutex);
    mode = ending.mode;
    module = ending.module;
    continuous = ending.continuous;
    started = ending.started;
    startedSteady = ending.startedSteady;
    summary = ending.summary;
    summary.portUsb = ending.portUsb;
    summary.sentBytes = std::max(summary.sentBytes, ending.sentBytes.load());
    summary.blocksRepeated = std::max(summary.blocksRepeated, ending.blocksRepeated.load());
    waitingFor = ending.waitingFor;
    record = ending.record;
    port = ending.port;
  }
  const std::string grace = std::to_string(StopGuard::kGrace.count() / 1000) + "." +
                            std::to_string(StopGuard::kGrace.count() % 1000 / 100) + " s";
  const std::string waiting = waitingFor.empty() ? "" : " (it was waiting for " + waitingFor + ")";
  summary.code = code;
  if (code == ExitCode::TimedOut) {
    summary.detail = "no result within " + std::to_string(ending.timeoutSeconds.value_or(0)) +
                     " s, and the run did not end within " + grace + " more" + waiting +
                     ": the program ended without the Cancel action";
  } else {
    summary.detail = "interrupted, and the run did not end within " + grace + waiting +
                     ": the program ended without the Cancel action";
  }
  if (module) {
    module->end = std::chrono::system_clock::now();
    module->verdict = Verdict::Fail;
  }
  // A station between two modules has nothing to record.
  const std::string recordError =
      continuous && !module
          ? std::string()
          : Record(record, port, summary, ending.imageName, started, startedSteady, module);
  std::string out;
  if (mode == OutputMode::Json) out = JsonResultEvent(summary) + "\n";
  if (mode == OutputMode::Terminal) out = "\n";  // ends a line drawn in place
  std::string err;
  if (!recordError.empty())
    err = "movrand-flash: the record was not written: " + recordError + "\n";
  if (mode != OutputMode::Json) err += FailureText(summary);
  WriteLastWords(std::move(out), std::move(err), kLastWordsWait);
  RestoreConsoleOutput();
  std::_Exit(static_cast<int>(summary.code));
}

// Where a Ctrl-C goes: nowhere until the run exists, then to the run on the main thread.
class InterruptTarget {
 public:
  void set(std::function<void()> press) {
    std::lock_guard lock(mutex_);
    press_ = std::move(press);
  }
  void press() {
    std::lock_guard lock(mutex_);
    if (press_) press_();
  }

 private:
  std::mutex mutex_;
  std::function<void()> press_;
};

// A failure before the run: the reason on standard error (and as the result event with
// --json); the exit code.
int Refuse(bool json, ExitCode code, const std::string& detail,
           OpenError reason = OpenError::None) {
  std::fprintf(stderr, "movrand-flash: %s\n", VisibleText(detail).c_str());
  const std::string_view hint = OpenErrorHint(reason);
  if (!hint.empty()) std::fprintf(stderr, "movrand-flash: hint: %s\n", std::string(hint).c_str());
  if (json) {
    RunSummary summary;
    summary.code = code;
    summary.detail = detail;
    SetOpenError(summary, reason);
    WriteOut(JsonResultEvent(summary) + "\n");
  }
  return static_cast<int>(code);
}

// Why the image named on the command line cannot be programmed, and the code for it; empty
// when it can be tried. The same refusals as the programming's own read, without reading
// the file: it must be a plain file (a pipe would block, a device never end) that can be
// opened, and no larger than the image buffer.
struct ImageCheck {
  std::string problem;
  ExitCode code = ExitCode::Success;
};
ImageCheck CheckImage(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) return {"no such file", ExitCode::Usage};
  if (fs::is_directory(status)) return {"it is a folder, not a file", ExitCode::Usage};
  if (!fs::is_regular_file(status)) return {"it is not a regular file", ExitCode::Usage};
  ReadOnlyFile file;
  if (!file.open(path.string())) return {"it cannot be opened for reading", ExitCode::Usage};
  const std::optional<std::int64_t> size = file.size();
  if (!size) return {"its size cannot be read", ExitCode::Usage};
  if (*size > static_cast<std::int64_t>(kFirmwareBufferSize)) {
    return {"it is larger than " + std::to_string(kFirmwareBufferSize / 1024) + " KiB",
            ExitCode::ImageRejected};
  }
  return {};
}

// Writes `line` into the window's log pane as the window would and prints it: what the
// window says about a port or an image the run refuses before it starts.
void SayAsTheWindow(TMainForm& form, LogPrinter& printer, const std::string& line, bool timed) {
  if (timed) {
    form.LogTimedLine(line);
  } else {
    form.LogLine(line);
  }
  printer.paneChanged(form.Memo1.lines());
  printer.finish();
}

// A station of a line reads its standard input for the line's "interrupt": each is a press
// of Ctrl-C. The reading thread is left to end with the process (a read may wait for the
// line's end of the pipe, which comes only after this process has ended); once stopped it
// passes nothing on.
struct StationInput {
  std::mutex mutex;
  std::function<void()> onInterrupt;  // under mutex; empty once stopped
  std::atomic<bool> stopped{false};
  void stop() {
    stopped = true;
    std::lock_guard lock(mutex);
    onInterrupt = nullptr;
  }
};

constexpr std::string_view kInterruptLine = "interrupt";
constexpr std::size_t kStationLineMax = 64;

std::shared_ptr<StationInput> WatchStationInput(std::function<void()> onInterrupt) {
  auto input = std::make_shared<StationInput>();
  input->onInterrupt = std::move(onInterrupt);
  std::thread([input] {
    while (!input->stopped) {
      const std::optional<std::string> line = ReadInputLine(input->stopped, kStationLineMax);
      if (!line) return;
      if (*line != kInterruptLine) continue;
      std::lock_guard lock(input->mutex);
      if (input->onInterrupt) input->onInterrupt();
    }
  }).detach();
  return input;
}

// Nothing is pressed once a run leaves, however it leaves, and the console is as it was found.
struct QuietOnExit {
  InterruptWatch& interrupts;
  const std::shared_ptr<StationInput>& stationInput;
  ~QuietOnExit() {
    interrupts.stop();
    if (stationInput) stationInput->stop();
    RestoreConsoleOutput();
  }
};

// JSON when asked for; a terminal's drawing when the output is one; plain lines otherwise.
OutputMode OutputFor(bool json) {
  if (json) return OutputMode::Json;
  return PrepareConsoleOutput() ? OutputMode::Terminal : OutputMode::Plain;
}

// Why the image named on the command line is not programmed, for standard error.
std::string ImageRefusal(const std::string& file, const ImageCheck& check) {
  return (check.code == ExitCode::ImageRejected ? "the image " + file + " is refused: "
                                                : "cannot read the image " + file + ": ") +
         check.problem;
}

int Run(const FlashOptions& o) {
  Ending ending;
  ending.timeoutSeconds = o.timeoutSeconds;
  if (!o.file.empty()) ending.imageName = fs::path(o.file).filename().string();
  // Before any thread exists, so that all of them inherit its mask; watched from the start,
  // so that a Ctrl-C is honoured during the preparations too.
  InterruptWatch interrupts;
  StopGuard guard([&ending](ExitCode code) { ForceEnd(ending, code); });
  InterruptTarget target;
  interrupts.start([&guard, &target] {
    guard.interrupted();
    target.press();
  });
  const std::shared_ptr<StationInput> stationInput = o.station
                                                         ? WatchStationInput([&guard, &target] {
                                                             guard.interrupted();
                                                             target.press();
                                                           })
                                                         : nullptr;
  const QuietOnExit quietOnExit{interrupts, stationInput};
  // Every end on this thread claims the end first; when the guard has it, it ends the process.
  const auto claim = [&guard] {
    if (!guard.claimEnd()) AwaitForcedEnd();
  };
  const auto interruptedBeforeTheRun = [&] {
    claim();
    return Refuse(o.json, ExitCode::Cancelled, "interrupted before the run started");
  };

  // The image is refused before any module is touched when programming could not read it.
  std::string image;
  ImageCheck imageCheck;
  if (!o.file.empty()) {
    image = o.file;  // made absolute with the other paths, before anything ran
    imageCheck = CheckImage(image);
  }
  std::error_code error;
  const fs::path folder = fs::current_path(error);
  if (error) {
    claim();
    return Refuse(o.json, ExitCode::Internal, "the current folder cannot be read");
  }

  const OutputMode mode = OutputFor(o.json);
  {
    std::lock_guard lock(ending.mutex);
    ending.mode = mode;
  }
  StdEventLoop loop;
  SystemLocalClock clock;
  const std::unique_ptr<PortSource> ports = CreateSystemPortSource();
  PathFileDialog fileDialog(imageCheck.problem.empty() ? image : std::string());
  LogPrinter printer(loop, mode, WriteOut, mode == OutputMode::Terminal ? ConsoleWidth() : 0);
  HeadlessDialogs dialogs(printer, o.yes, [&interrupts](const std::string& question) {
    return AskOnTerminal(question, interrupts.interrupted());
  });
  const auto sayAside = [&printer](const std::string& text) {
    printer.finish();
    std::fprintf(stderr, "movrand-flash: %s\n", VisibleText(text).c_str());
  };
  LatencyWatch latency(systemSerialDriver(), loop, sayAside);

  std::optional<TMainForm> form;
  try {
    form.emplace(loop, MainFormServices{.clock = clock,
                                        .ports = *ports,
                                        .fileDialog = fileDialog,
                                        .dialogs = dialogs,
                                        .programFile = folder / kProgramFileName});
  } catch (const std::exception& failure) {
    claim();
    return Refuse(o.json, ExitCode::Internal,
                  std::string("the window model could not be built: ") + failure.what());
  }

  if (o.list) {
    claim();
    const auto listed = ports->ListPorts();
    if (!listed)
      return Refuse(o.json, ExitCode::PortUnavailable, form->Messages.TextPortListFailed);
    for (const SerialPortEntry& port : InSelectorOrder(*listed)) {
      WriteOut((o.json ? PortListJson(port) : PortListLine(port)) + "\n");
    }
    return 0;
  }

  // The window takes one switch; here they combine.
  if (o.test) ApplyCommandLine(*form, "/t");
  form->LogEnabled = o.log;
  form->FastProgramming = o.fast;
  if (interrupts.interrupted()) return interruptedBeforeTheRun();

  if (!imageCheck.problem.empty()) {
    claim();
    const std::string shown = fs::path(image).filename().string();
    SayAsTheWindow(*form, printer,
                   imageCheck.code == ExitCode::ImageRejected
                       ? FileTooLargeLine(shown)
                       : form->Messages.TextCantOpenFile + shown,
                   imageCheck.code == ExitCode::ImageRejected);
    return Refuse(o.json, imageCheck.code, ImageRefusal(o.file, imageCheck));
  }
  // The record is opened before any module is touched: a module that cannot be recorded is
  // not flashed.
  RecordFile recordFile;
  RecordFile* record = nullptr;
  if (!o.record.empty()) {
    if (const std::string failure = recordFile.open(o.record); !failure.empty()) {
      claim();
      return Refuse(o.json, ExitCode::RecordFailed, "the record cannot be written: " + failure);
    }
    record = &recordFile;
  }
  if (interrupts.interrupted()) return interruptedBeforeTheRun();
  // A refusal from here on is a run of this station too, and recorded.
  const auto refuseRecorded = [&](ExitCode code, const std::string& detail,
                                  OpenError reason = OpenError::None) {
    claim();
    RunSummary summary;
    summary.code = code;
    summary.detail = detail;
    if (const std::string failure =
            Record(record, o.port, summary, ending.imageName, ending.started, ending.startedSteady);
        !failure.empty()) {
      std::fprintf(stderr, "movrand-flash: the record was not written: %s\n", failure.c_str());
    }
    return Refuse(o.json, summary.code, detail, reason);
  };
  FoundPort found = FindPort(o.port, kPortNameMax, *ports);
  const PortLookup& port = found.lookup;
  if (!port.error.empty()) {
    if (!port.missing) return refuseRecorded(ExitCode::Usage, port.error);
    SayAsTheWindow(*form, printer, form->Messages.TextPortBusy, true);
    return refuseRecorded(
        ExitCode::PortUnavailable,
        port.error + (IsPortIdentity(o.port) ? "" : " (movrand-flash --list shows the ports)"),
        OpenError::Missing);
  }
  // Where the module is, for its record: read from the port list once, here.
  if (!found.usb) found.usb = UsbIdentityOf(port.name, *ports);
  {
    std::lock_guard lock(ending.mutex);
    ending.record = record;
    ending.port = port.name;
    ending.portUsb = found.usb;
  }

  CommSession session(*form, loop, latency);
  RunChoices choices{.portName = port.name,
                     .protocol = o.protocol,
                     .baud = o.baud,
                     .program = !image.empty() && !o.recover,
                     .timeout = std::nullopt,
                     .expectVersion = o.expectVersion,
                     .recovery = std::nullopt};
  // After the restart wait the port is looked up again, by the name or identity it was given.
  choices.portNow = [&o, &ports]() -> std::optional<std::string> {
    const PortLookup now = FindPort(o.port, kPortNameMax, *ports).lookup;
    if (!now.error.empty()) return std::nullopt;
    return now.name;
  };
  if (o.timeoutSeconds) choices.timeout = Milliseconds{std::int64_t{*o.timeoutSeconds} * 1000};
  if (o.recover) {
    choices.recovery =
        Recovery{.linkMode = o.protocol == ProtocolChoice::Binr ? RxMode::Binr : RxMode::Nmea,
                 .rate = o.fast ? kFastProgrammingRate : kProgrammingRate,
                 .model = o.model};
  }
  FlashRun run(
      *form, dialogs, std::move(choices), [&loop] { loop.quit(); }, sayAside);
  printer.setProgress(form->Messages.TextFileSize, [&run] { return run.progress(); });
  if (mode == OutputMode::Json) {
    run.onStage = [](Stage stage) { WriteOut(JsonStageEvent(StageName(stage)) + "\n"); };
  }
  run.onBlockSent = [&ending](std::int64_t sentBytes, int blocksRepeated) {
    ending.sentBytes = sentBytes;
    ending.blocksRepeated = blocksRepeated;
  };
  run.onChange = [&run, &ending] {
    std::lock_guard lock(ending.mutex);
    ending.summary = run.summary();
    ending.waitingFor = run.waitingFor();
  };
  std::string refused;
  if (!run.select(refused)) return refuseRecorded(ExitCode::Usage, refused);
  if (interrupts.interrupted())
    return refuseRecorded(ExitCode::Cancelled, "interrupted before the run started");

  BindView(*form, printer, run);
  target.set([&loop, &run] { loop.post([&run] { run.interrupt(); }); });
  if (o.timeoutSeconds) {
    guard.setDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(*o.timeoutSeconds));
  }
  run.start();
  loop.run();
  target.set(nullptr);
  claim();
  UnbindView(*form);
  // Readers still handing data over are released before the link is taken down.
  loop.stop();

  RunSummary summary = run.summary();
  summary.portUsb = found.usb;
  if (const std::string failure = Record(record, port.name, summary, ending.imageName,
                                         ending.started, ending.startedSteady);
      !failure.empty()) {
    std::fprintf(stderr, "movrand-flash: the record was not written: %s\n", failure.c_str());
  }
  printer.result(summary);
  if (summary.code != ExitCode::Success && mode != OutputMode::Json) {
    const std::string text = FailureText(summary);
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
  return static_cast<int>(summary.code);
}

// The port an argument names now, or nothing while it does not exist. Windows lists a port
// that appears later in the registry before its device can always be queried.
std::optional<PortHere> PortNow(const std::string& argument, PortSource& ports) {
  FoundPort found = FindPort(argument, kPortNameMax, ports);
  if (found.lookup.error.empty()) {
    if (!found.usb) found.usb = UsbIdentityOf(found.lookup.name, ports);
    return PortHere{.name = found.lookup.name, .usb = found.usb};
  }
  if (IsPortIdentity(argument)) return std::nullopt;
  if (const auto listed = ports.ListPorts()) {
    for (const SerialPortEntry& entry : *listed) {
      if (entry.name == argument) return PortHere{.name = entry.name, .usb = entry.usb};
    }
  }
  return std::nullopt;
}

// --continuous on one port: the station's cycle, module after module, until --count or Ctrl-C.
int RunContinuous(const FlashOptions& o) {
  Ending ending;
  ending.timeoutSeconds = o.timeoutSeconds;
  ending.continuous = true;
  ending.imageName = fs::path(o.file).filename().string();
  InterruptWatch interrupts;
  StopGuard guard([&ending](ExitCode code) { ForceEnd(ending, code); });
  InterruptTarget target;
  // The first Ctrl-C stops a waiting station at once and lets a module being programmed
  // finish: only a stop that is due now is bounded by the guard.
  std::atomic<int> presses{0};
  const auto pressed = [&guard, &target, &presses] {
    if (++presses >= 2) guard.interrupted();
    target.press();
  };
  interrupts.start(pressed);
  const std::shared_ptr<StationInput> stationInput =
      o.station ? WatchStationInput(pressed) : nullptr;
  const QuietOnExit quietOnExit{interrupts, stationInput};
  const auto claim = [&guard] {
    if (!guard.claimEnd()) AwaitForcedEnd();
  };

  const ImageCheck imageCheck = CheckImage(o.file);
  std::error_code error;
  const fs::path folder = fs::current_path(error);
  if (error) {
    claim();
    return Refuse(o.json, ExitCode::Internal, "the current folder cannot be read");
  }
  const OutputMode mode = OutputFor(o.json);
  {
    std::lock_guard lock(ending.mutex);
    ending.mode = mode;
  }
  StdEventLoop loop;
  SystemLocalClock clock;
  const std::unique_ptr<PortSource> ports = CreateSystemPortSource();
  PathFileDialog fileDialog(imageCheck.problem.empty() ? o.file : std::string());

  // Everything the station says is an event line: printed as it is with --json, shown by the
  // station's view otherwise.
  std::optional<LineView> view;
  if (mode != OutputMode::Json) {
    view.emplace(
        loop, mode, std::vector<std::string>{o.port}, WriteOut,
        [](std::string_view text) {
          std::fwrite(text.data(), 1, text.size(), stderr);
          std::fflush(stderr);
        },
        mode == OutputMode::Terminal ? ConsoleWidth() : 0);
    view->setContinuous(true);
    if (o.bell) view->setBell([](std::string_view bell) { WriteOut(bell); });
  }
  const auto emit = [&view](std::string_view event) {
    if (view) {
      view->stationOutput(0, event);
    } else {
      WriteOut(std::string(event) + "\n");
    }
  };
  std::string pendingOutput;
  LogPrinter printer(loop, OutputMode::Json, [&emit, &pendingOutput](std::string_view text) {
    pendingOutput.append(text);
    for (std::size_t end = pendingOutput.find('\n'); end != std::string::npos;
         end = pendingOutput.find('\n')) {
      emit(std::string_view(pendingOutput).substr(0, end));
      pendingOutput.erase(0, end + 1);
    }
  });
  HeadlessDialogs dialogs(printer, true, [](const std::string&) { return false; });
  const auto say = [&emit](const std::string& text) { emit(JsonSayEvent(VisibleText(text))); };
  LatencyWatch latency(systemSerialDriver(), loop, say);

  std::optional<TMainForm> form;
  try {
    form.emplace(loop, MainFormServices{.clock = clock,
                                        .ports = *ports,
                                        .fileDialog = fileDialog,
                                        .dialogs = dialogs,
                                        .programFile = folder / kProgramFileName});
  } catch (const std::exception& failure) {
    claim();
    return Refuse(o.json, ExitCode::Internal,
                  std::string("the window model could not be built: ") + failure.what());
  }
  form->LogEnabled = o.log;
  form->FastProgramming = o.fast;

  if (!imageCheck.problem.empty()) {
    claim();
    return Refuse(o.json, imageCheck.code, ImageRefusal(o.file, imageCheck));
  }
  RecordFile recordFile;
  RecordFile* record = nullptr;
  if (!o.record.empty()) {
    if (const std::string failure = recordFile.open(o.record); !failure.empty()) {
      claim();
      return Refuse(o.json, ExitCode::RecordFailed, "the record cannot be written: " + failure);
    }
    record = &recordFile;
  }
  // A port that does not exist yet is waited for; an argument that can name none is refused.
  if (const PortLookup port = FindPort(o.port, kPortNameMax, *ports).lookup;
      !port.error.empty() && !port.missing) {
    claim();
    return Refuse(o.json, ExitCode::Usage, port.error);
  }
  {
    std::lock_guard lock(ending.mutex);
    ending.record = record;
    ending.port = o.port;
  }

  std::unique_ptr<Station> station;
  CommSession session(*form, loop, latency, [&station](std::span<const std::uint8_t> bytes) {
    if (station) station->received(bytes);
  });
  StationChoices choices{.port = o.port,
                         .protocol = o.protocol,
                         .baud = o.baud,
                         .moduleTimeout = std::nullopt,
                         .expectVersion = o.expectVersion,
                         .model = o.model,
                         .programmingRate = o.fast ? kFastProgrammingRate : kProgrammingRate,
                         .count = o.count,
                         .imageName = fs::path(o.file).filename().string()};
  if (o.timeoutSeconds)
    choices.moduleTimeout = Milliseconds{std::int64_t{*o.timeoutSeconds} * 1000};
  StationHooks hooks;
  hooks.lookUpPort = [&ports](const std::string& argument) { return PortNow(argument, *ports); };
  hooks.stage = [&emit](std::string_view stage) { emit(JsonStageEvent(stage)); };
  hooks.say = say;
  hooks.module = [&](const StationRecord& line) {
    bool recorded = true;
    if (record) {
      if (const std::string failure = record->append(RecordLine(line)); !failure.empty()) {
        say("the record was not written: " + failure + "; the station stops");
        recorded = false;
      }
    }
    emit(ModuleEvent(line));
    return recorded;
  };
  hooks.moduleStarted = [&] {
    {
      std::lock_guard lock(ending.mutex);
      ending.module =
          ModuleFacts{.sequence = station->sequence(), .end = {}, .verdict = Verdict::Fail};
      ending.started = station->moduleTime();
      ending.startedSteady = std::chrono::steady_clock::now();
      ending.port = station->portName();
      ending.portUsb = station->portUsb();
      ending.summary = {};
      ending.sentBytes = 0;
      ending.blocksRepeated = 0;
    }
    if (o.timeoutSeconds) {
      guard.setDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(*o.timeoutSeconds));
    }
  };
  hooks.moduleEnded = [&] {
    guard.setDeadline(std::nullopt);
    std::lock_guard lock(ending.mutex);
    ending.module.reset();
  };
  hooks.runChanged = [&ending](const FlashRun& run) {
    std::lock_guard lock(ending.mutex);
    ending.summary = run.summary();
    ending.waitingFor = run.waitingFor();
  };
  hooks.blockSent = [&ending](std::int64_t sentBytes, int blocksRepeated) {
    ending.sentBytes = sentBytes;
    ending.blocksRepeated = blocksRepeated;
  };
  hooks.ended = [&loop] { loop.quit(); };
  station =
      std::make_unique<Station>(*form, dialogs, printer, std::move(choices), std::move(hooks));
  printer.setProgress(form->Messages.TextFileSize, [&station] {
    const FlashRun* run = station->run();
    return run ? run->progress() : ProgressCounts{};
  });
  target.set([&loop, &station, &guard] {
    loop.post([&station, &guard] {
      if (station->interrupt()) guard.interrupted();
    });
  });
  const auto started = std::chrono::steady_clock::now();
  if (interrupts.interrupted()) {
    claim();
    return Refuse(o.json, ExitCode::Cancelled, "interrupted before the station started");
  }
  station->start();
  if (!station->ended()) loop.run();
  target.set(nullptr);
  claim();
  const ExitCode code = station->code();
  const std::string summary = JsonStationSummaryEvent(StationCounts{
      .port = o.port,
      .passed = station->passed(),
      .failed = station->failed(),
      .current = station->current(),
      .moduleSeconds = station->moduleSeconds(),
      .seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
      .code = code});
  station.reset();
  loop.stop();
  if (view) {
    view->stationOutput(0, summary);
    view->stationEnded(0, static_cast<int>(code));
    view->finish();
  } else {
    WriteOut(summary + "\n");
  }
  return static_cast<int>(code);
}

// Paths on the command line are taken against the folder the program was started in, before
// anything (the settings, the traffic log) can change the current folder. False, with the
// reason, when one cannot be resolved.
bool ResolvePaths(FlashOptions& o, std::string& error) {
  const auto resolve = [&error](std::string& path, const char* option) {
    if (path.empty()) return true;
    std::error_code failure;
    const fs::path absolute = fs::absolute(fs::path(path), failure);
    if (failure) {
      error = std::string(option) + " " + path + ": the path cannot be resolved";
      return false;
    }
    path = absolute.string();
    return true;
  };
  // A port given as a relative path ("./ttySIM0"); names ("ttyUSB0", "pts/3", "COM5") stay.
  const auto relativePort = [](const std::string& port) {
    return port.starts_with("./") || port.starts_with("../");
  };
  if (!resolve(o.file, "--file") || !resolve(o.record, "--record")) return false;
  for (std::string& port : o.ports) {
    if (relativePort(port) && !resolve(port, "--port")) return false;
  }
  if (relativePort(o.port) && !resolve(o.port, "--port")) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ParsedFlashOptions parsed = ParseFlashOptions(
      std::span<const char* const>(argv + 1, argc > 0 ? static_cast<std::size_t>(argc - 1) : 0));
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "movrand-flash: %s\n", parsed.error.c_str());
    return static_cast<int>(ExitCode::Usage);
  }
  if (parsed.options.help) {
    std::fputs(FlashHelpText().c_str(), stdout);
    return 0;
  }
  if (parsed.options.version) {
    std::fputs(FlashVersionText().c_str(), stdout);
    return 0;
  }
  if (std::string error; !ResolvePaths(parsed.options, error)) {
    std::fprintf(stderr, "movrand-flash: %s\n", error.c_str());
    return static_cast<int>(ExitCode::Usage);
  }
  if (IsLine(parsed.options)) return RunLine(parsed.options);
  if (parsed.options.continuous) return RunContinuous(parsed.options);
  return Run(parsed.options);
}
