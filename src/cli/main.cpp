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
// code "record" unless it is already worse.
Result<void> Record(RecordFile* record, const std::string& port, RunSummary& summary,
                    const std::optional<std::string>& imageName,
                    std::chrono::system_clock::time_point started,
                    std::chrono::steady_clock::time_point startedSteady,
                    std::optional<ModuleFacts> module = std::nullopt) {
  if (!record) return Done();
  std::optional<ImageFacts> image;
  if (imageName) {
    image =
        ImageFacts{.name = *imageName, .bytes = summary.imageBytes, .sha256 = summary.imageSha256};
  }
  StationRecord line{.time = started, .port = port, .summary = summary, .image = image};
  line.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - startedSteady).count();
  line.module = module;
  const Result<void> written = record->append(RecordLine(line));
  if (!written) {
    summary.code = WorseOf(summary.code, ExitCode::RecordFailed);
    if (summary.code == ExitCode::RecordFailed) summary.detail = written.error().text;
  }
  return written;
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
  const Result<void> recorded =
      continuous && !module
          ? Done()
          : Record(record, port, summary, ending.imageName, started, startedSteady, module);
  std::string out;
  if (mode == OutputMode::Json) out = JsonResultEvent(summary) + "\n";
  if (mode == OutputMode::Terminal) out = "\n";  // ends a line drawn in place
  std::string err;
  if (!recorded) err = "movrand-flash: the record was not written: " + recorded.error().text + "\n";
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

// Why the image named on the command line cannot be programmed, and the code for it. The
// same refusals as the programming's own read, without reading the file: it must be a plain
// file (a pipe would block, a device never end) that can be opened, and no larger than the
// image buffer.
struct ImageProblem {
  std::string text;
  ExitCode code = ExitCode::Usage;
};
std::optional<ImageProblem> CheckImage(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) return ImageProblem{"no such file"};
  if (fs::is_directory(status)) return ImageProblem{"it is a folder, not a file"};
  if (!fs::is_regular_file(status)) return ImageProblem{"it is not a regular file"};
  ReadOnlyFile file;
  if (!file.open(path.string())) return ImageProblem{"it cannot be opened for reading"};
  const std::optional<std::int64_t> size = file.size();
  if (!size) return ImageProblem{"its size cannot be read"};
  if (*size > static_cast<std::int64_t>(kFirmwareBufferSize)) {
    return ImageProblem{"it is larger than " + std::to_string(kFirmwareBufferSize / 1024) + " KiB",
                        ExitCode::ImageRejected};
  }
  return std::nullopt;
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
std::string ImageRefusal(const std::string& file, const ImageProblem& problem) {
  return (problem.code == ExitCode::ImageRejected ? "the image " + file + " is refused: "
                                                  : "cannot read the image " + file + ": ") +
         problem.text;
}

// What every run of this process sets up before anything else: the facts a forced end needs,
// Ctrl-C (and a line's "interrupt") passed on to the guard and to the run, and the one way a
// run ends on this thread. `pressesToStop`: the press that makes the guard's stop due (a
// single run: the first; a station lets the module being programmed finish on the first).
class RunFrame {
 public:
  RunFrame(const FlashOptions& o, int pressesToStop)
      : guard([this](ExitCode code) { ForceEnd(ending, code); }),
        json_(o.json),
        quietOnExit_{interrupts, stationInput_} {
    ending.timeoutSeconds = o.timeoutSeconds;
    ending.continuous = o.continuous;
    if (!o.file.empty()) ending.imageName = fs::path(o.file).filename().string();
    const auto pressed = [this, pressesToStop] {
      if (++presses_ >= pressesToStop) guard.interrupted();
      target.press();
    };
    interrupts.start(pressed);
    if (o.station) stationInput_ = WatchStationInput(pressed);
  }
  RunFrame(const RunFrame&) = delete;
  RunFrame& operator=(const RunFrame&) = delete;

  bool interrupted() const { return interrupts.interrupted(); }
  OutputMode setMode(OutputMode mode) {
    std::lock_guard lock(ending.mutex);
    ending.mode = mode;
    return mode;
  }
  // Every end on this thread claims the end first; when the guard has it, it ends the process.
  void claim() {
    if (!guard.claimEnd()) AwaitForcedEnd();
  }
  // A refusal before the run: the end claimed, the reason said, the code returned.
  int refuse(ExitCode code, const std::string& detail, OpenError reason = OpenError::None) {
    claim();
    return Refuse(json_, code, detail, reason);
  }
  // A refusal once the station's record is open: a run of the station too, and recorded.
  int refuseRecorded(RecordFile* record, const std::string& port, ExitCode code,
                     const std::string& detail, OpenError reason = OpenError::None) {
    claim();
    RunSummary summary;
    summary.code = code;
    summary.detail = detail;
    if (const Result<void> recorded =
            Record(record, port, summary, ending.imageName, ending.started, ending.startedSteady);
        !recorded) {
      std::fprintf(stderr, "movrand-flash: the record was not written: %s\n",
                   recorded.error().text.c_str());
    }
    return Refuse(json_, summary.code, detail, reason);
  }

  Ending ending;
  // Before any thread exists, so that all of them inherit its mask; watched from the start,
  // so that a Ctrl-C is honoured during the preparations too.
  InterruptWatch interrupts;
  StopGuard guard;
  InterruptTarget target;

 private:
  bool json_;
  std::atomic<int> presses_{0};
  std::shared_ptr<StationInput> stationInput_;
  QuietOnExit quietOnExit_;
};

// What the window model is built on, the same for a single run and a station. The image is
// checked first; one that programming could not read is not offered to the file dialog, and
// refused once the window can say so.
struct Workbench {
  explicit Workbench(const FlashOptions& o)
      : imageProblem(o.file.empty() ? std::nullopt : CheckImage(o.file)),
        fileDialog(imageProblem ? std::string() : o.file) {}
  std::optional<ImageProblem> imageProblem;
  StdEventLoop loop;
  SystemLocalClock clock;
  std::unique_ptr<PortSource> ports = CreateSystemPortSource();
  PathFileDialog fileDialog;
};

Result<fs::path> CurrentFolder() {
  std::error_code error;
  fs::path folder = fs::current_path(error);
  if (error) return Failure("the current folder cannot be read");
  return folder;
}

// The window model the run drives, built as the window builds it (port list, settings), with
// its settings file named for this program in `folder`.
Result<void> BuildForm(std::optional<TMainForm>& form, EventLoop& loop, LocalClock& clock,
                       PortSource& ports, FileDialog& fileDialog, Dialogs& dialogs,
                       const fs::path& folder) {
  try {
    form.emplace(loop, MainFormServices{.clock = clock,
                                        .ports = ports,
                                        .fileDialog = fileDialog,
                                        .dialogs = dialogs,
                                        .programFile = folder / kProgramFileName});
  } catch (const std::exception& failure) {
    return Failure(std::string("the window model could not be built: ") + failure.what());
  }
  return Done();
}

// The record, opened before any module is touched: a module that cannot be recorded is not
// flashed. Null when no record is asked for.
Result<RecordFile*> OpenRecord(const std::string& path, RecordFile& file) {
  if (path.empty()) return nullptr;
  if (const Result<void> opened = file.open(path); !opened) {
    return Failure("the record cannot be written: " + opened.error().text);
  }
  return &file;
}

// --list: the ports in the selector's order, a line (or a JSON object) each.
int ListPorts(bool json, PortSource& ports, const TMainForm& form) {
  const auto listed = ports.ListPorts();
  if (!listed) return Refuse(json, ExitCode::PortUnavailable, form.Messages.TextPortListFailed);
  for (const SerialPortEntry& port : InSelectorOrder(*listed)) {
    WriteOut((json ? PortListJson(port) : PortListLine(port)) + "\n");
  }
  return 0;
}

// What the single run is asked to do, for the port it found.
RunChoices RunChoicesOf(const FlashOptions& o, const std::string& portName, PortSource& ports) {
  RunChoices choices{.portName = portName,
                     .protocol = o.protocol,
                     .baud = o.baud,
                     .program = !o.file.empty() && !o.recover,
                     .timeout = std::nullopt,
                     .expectVersion = o.expectVersion,
                     .recovery = std::nullopt};
  // After the restart wait the port is looked up again, by the name or identity it was given.
  choices.portNow = [argument = o.port, &ports]() -> std::optional<std::string> {
    const PortLookup now = FindPort(argument, kPortNameMax, ports).lookup;
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
  return choices;
}

// Keeps the forced end's facts as the run goes, and prints its stages with --json.
void FollowRun(FlashRun& run, Ending& ending, OutputMode mode) {
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
}

// The run's end: its record line, its result and, when it failed, why on standard error.
int ReportRun(RunSummary summary, RecordFile* record, const std::string& port, Ending& ending,
              LogPrinter& printer, OutputMode mode) {
  if (const Result<void> recorded =
          Record(record, port, summary, ending.imageName, ending.started, ending.startedSteady);
      !recorded) {
    std::fprintf(stderr, "movrand-flash: the record was not written: %s\n",
                 recorded.error().text.c_str());
  }
  printer.result(summary);
  if (summary.code != ExitCode::Success && mode != OutputMode::Json) {
    const std::string text = FailureText(summary);
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
  return static_cast<int>(summary.code);
}

// One port, one module: prepared as the window would be, refused before any module is
// touched when something it needs is not there, run, reported.
int Run(const FlashOptions& o) {
  RunFrame frame(o, 1);
  const Result<fs::path> folder = CurrentFolder();
  if (!folder) return frame.refuse(ExitCode::Internal, folder.error().text);

  // Prepare: the window model and what it works with.
  const OutputMode mode = frame.setMode(OutputFor(o.json));
  Workbench bench(o);
  auto& [imageProblem, loop, clock, ports, fileDialog] = bench;
  LogPrinter printer(loop, mode, WriteOut, mode == OutputMode::Terminal ? ConsoleWidth() : 0);
  HeadlessDialogs dialogs(printer, o.yes, [&frame](const std::string& question) {
    return AskOnTerminal(question, frame.interrupts.interrupted());
  });
  const auto sayAside = [&printer](const std::string& text) {
    printer.finish();
    std::fprintf(stderr, "movrand-flash: %s\n", VisibleText(text).c_str());
  };
  LatencyWatch latency(systemSerialDriver(), loop, sayAside);
  std::optional<TMainForm> form;
  if (const Result<void> built = BuildForm(form, loop, clock, *ports, fileDialog, dialogs, *folder);
      !built) {
    return frame.refuse(ExitCode::Internal, built.error().text);
  }
  if (o.list) {
    frame.claim();
    return ListPorts(o.json, *ports, *form);
  }
  // The window takes one switch; here they combine.
  if (o.test) ApplyCommandLine(*form, "/t");
  form->LogEnabled = o.log;
  form->FastProgramming = o.fast;

  // Refuse: what the run needs and does not have, before any module is touched.
  const auto interruptedBeforeTheRun = "interrupted before the run started";
  if (frame.interrupted()) return frame.refuse(ExitCode::Cancelled, interruptedBeforeTheRun);
  if (imageProblem) {
    frame.claim();
    const std::string shown = fs::path(o.file).filename().string();
    const bool tooLarge = imageProblem->code == ExitCode::ImageRejected;
    SayAsTheWindow(*form, printer,
                   tooLarge ? FileTooLargeLine(shown) : form->Messages.TextCantOpenFile + shown,
                   tooLarge);
    return Refuse(o.json, imageProblem->code, ImageRefusal(o.file, *imageProblem));
  }
  RecordFile recordFile;
  const Result<RecordFile*> opened = OpenRecord(o.record, recordFile);
  if (!opened) return frame.refuse(ExitCode::RecordFailed, opened.error().text);
  RecordFile* const record = *opened;
  if (frame.interrupted()) return frame.refuse(ExitCode::Cancelled, interruptedBeforeTheRun);
  // From here on a refusal is a run of this station too, and recorded.
  FoundPort found = FindPort(o.port, kPortNameMax, *ports);
  const PortLookup& port = found.lookup;
  if (!port.error.empty()) {
    if (!port.missing) return frame.refuseRecorded(record, o.port, ExitCode::Usage, port.error);
    SayAsTheWindow(*form, printer, form->Messages.TextPortBusy, true);
    return frame.refuseRecorded(
        record, o.port, ExitCode::PortUnavailable,
        port.error + (IsPortIdentity(o.port) ? "" : " (movrand-flash --list shows the ports)"),
        OpenError::Missing);
  }
  // Where the module is, for its record: read from the port list once, here.
  if (!found.usb) found.usb = UsbIdentityOf(port.name, *ports);
  {
    std::lock_guard lock(frame.ending.mutex);
    frame.ending.record = record;
    frame.ending.port = port.name;
    frame.ending.portUsb = found.usb;
  }
  CommSession session(*form, loop, latency);
  FlashRun run(
      *form, dialogs, RunChoicesOf(o, port.name, *ports), [&loop] { loop.quit(); }, sayAside);
  printer.setProgress(form->Messages.TextFileSize, [&run] { return run.progress(); });
  FollowRun(run, frame.ending, mode);
  if (const Result<void> selected = run.select(); !selected) {
    return frame.refuseRecorded(record, o.port, ExitCode::Usage, selected.error().text);
  }
  if (frame.interrupted()) {
    return frame.refuseRecorded(record, o.port, ExitCode::Cancelled, interruptedBeforeTheRun);
  }

  // Run: the window's own procedure, on the loop, until it has a result.
  BindView(*form, printer, run);
  frame.target.set([&loop, &run] { loop.post([&run] { run.interrupt(); }); });
  if (o.timeoutSeconds) {
    frame.guard.setDeadline(std::chrono::steady_clock::now() +
                            std::chrono::seconds(*o.timeoutSeconds));
  }
  run.start();
  loop.run();
  frame.target.set(nullptr);
  frame.claim();
  UnbindView(*form);
  // Readers still handing data over are released before the link is taken down.
  loop.stop();

  // Report.
  RunSummary summary = run.summary();
  summary.portUsb = found.usb;
  return ReportRun(std::move(summary), record, port.name, frame.ending, printer, mode);
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

// What a station is asked to do with each module.
StationChoices StationChoicesOf(const FlashOptions& o) {
  StationChoices choices{.port = o.port,
                         .protocol = o.protocol,
                         .baud = o.baud,
                         .moduleTimeout = std::nullopt,
                         .expectVersion = o.expectVersion,
                         .model = o.model,
                         .programmingRate = o.fast ? kFastProgrammingRate : kProgrammingRate,
                         .count = o.count,
                         .imageName = fs::path(o.file).filename().string()};
  if (o.timeoutSeconds) {
    choices.moduleTimeout = Milliseconds{std::int64_t{*o.timeoutSeconds} * 1000};
  }
  return choices;
}

// How a station's cycle reaches this process: its events and words go to `emit` and `say`,
// each module's line to the record, and the forced end's facts follow the module in hand
// (the guard's deadline runs for a module only).
StationHooks StationHooksOf(const FlashOptions& o, RunFrame& frame, RecordFile* record,
                            PortSource& ports, const std::unique_ptr<Station>& station,
                            std::function<void(std::string_view)> emit,
                            std::function<void(const std::string&)> say,
                            std::function<void()> ended) {
  Ending& ending = frame.ending;
  StationHooks hooks;
  hooks.lookUpPort = [&ports](const std::string& argument) { return PortNow(argument, ports); };
  hooks.stage = [emit](std::string_view stage) { emit(JsonStageEvent(stage)); };
  hooks.say = say;
  hooks.module = [record, emit, say](const StationRecord& line) {
    bool recorded = true;
    if (record) {
      if (const Result<void> written = record->append(RecordLine(line)); !written) {
        say("the record was not written: " + written.error().text + "; the station stops");
        recorded = false;
      }
    }
    emit(ModuleEvent(line));
    return recorded;
  };
  hooks.moduleStarted = [&ending, &frame, &station, timeout = o.timeoutSeconds] {
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
    if (timeout) {
      frame.guard.setDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(*timeout));
    }
  };
  hooks.moduleEnded = [&ending, &frame] {
    frame.guard.setDeadline(std::nullopt);
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
  hooks.ended = std::move(ended);
  return hooks;
}

// The station's summary line at its end.
std::string StationSummary(const Station& station, const std::string& port,
                           std::chrono::steady_clock::time_point started) {
  return JsonStationSummaryEvent(StationCounts{
      .port = port,
      .passed = station.passed(),
      .failed = station.failed(),
      .current = station.current(),
      .moduleSeconds = station.moduleSeconds(),
      .seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
      .code = station.code()});
}

// The summary shown by the station's view, or printed as it is with --json; the exit code.
int ReportStation(const std::string& summary, ExitCode code, std::optional<LineView>& view) {
  if (view) {
    view->stationOutput(0, summary);
    view->stationEnded(0, static_cast<int>(code));
    view->finish();
  } else {
    WriteOut(summary + "\n");
  }
  return static_cast<int>(code);
}

// --continuous on one port: the station's cycle, module after module, until --count or Ctrl-C.
int RunContinuous(const FlashOptions& o) {
  // The first Ctrl-C stops a waiting station at once and lets a module being programmed
  // finish: only a stop that is due now is bounded by the guard.
  RunFrame frame(o, 2);
  const Result<fs::path> folder = CurrentFolder();
  if (!folder) return frame.refuse(ExitCode::Internal, folder.error().text);

  // Prepare: the window model, and the station's view of it.
  const OutputMode mode = frame.setMode(OutputFor(o.json));
  Workbench bench(o);
  auto& [imageProblem, loop, clock, ports, fileDialog] = bench;
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
  if (const Result<void> built = BuildForm(form, loop, clock, *ports, fileDialog, dialogs, *folder);
      !built) {
    return frame.refuse(ExitCode::Internal, built.error().text);
  }
  form->LogEnabled = o.log;
  form->FastProgramming = o.fast;

  // Refuse: an image, a record or a port argument the station cannot work with.
  if (imageProblem) return frame.refuse(imageProblem->code, ImageRefusal(o.file, *imageProblem));
  RecordFile recordFile;
  const Result<RecordFile*> opened = OpenRecord(o.record, recordFile);
  if (!opened) return frame.refuse(ExitCode::RecordFailed, opened.error().text);
  RecordFile* const record = *opened;
  // A port that does not exist yet is waited for; an argument that can name none is refused.
  if (const PortLookup port = FindPort(o.port, kPortNameMax, *ports).lookup;
      !port.error.empty() && !port.missing) {
    return frame.refuse(ExitCode::Usage, port.error);
  }
  {
    std::lock_guard lock(frame.ending.mutex);
    frame.ending.record = record;
    frame.ending.port = o.port;
  }

  // Run: the station's cycle on the loop, until it ends.
  std::unique_ptr<Station> station;
  CommSession session(*form, loop, latency, [&station](std::span<const std::uint8_t> bytes) {
    if (station) station->received(bytes);
  });
  station = std::make_unique<Station>(
      *form, dialogs, printer, StationChoicesOf(o),
      StationHooksOf(o, frame, record, *ports, station, emit, say, [&loop] { loop.quit(); }));
  printer.setProgress(form->Messages.TextFileSize, [&station] {
    const FlashRun* run = station->run();
    return run ? run->progress() : ProgressCounts{};
  });
  frame.target.set([&loop, &station, &frame] {
    loop.post([&station, &frame] {
      if (station->interrupt()) frame.guard.interrupted();
    });
  });
  const auto started = std::chrono::steady_clock::now();
  if (frame.interrupted()) {
    return frame.refuse(ExitCode::Cancelled, "interrupted before the station started");
  }
  station->start();
  if (!station->ended()) loop.run();
  frame.target.set(nullptr);
  frame.claim();

  // Report.
  const ExitCode code = station->code();
  const std::string summary = StationSummary(*station, o.port, started);
  station.reset();
  loop.stop();
  return ReportStation(summary, code, view);
}

// Paths on the command line are taken against the folder the program was started in, before
// anything (the settings, the traffic log) can change the current folder. Fails, with the
// reason, when one cannot be resolved.
Result<void> ResolvePaths(FlashOptions& o) {
  const auto resolve = [](std::string& path, const char* option) -> Result<void> {
    if (path.empty()) return Done();
    std::error_code failure;
    const fs::path absolute = fs::absolute(fs::path(path), failure);
    if (failure) return Failure(std::string(option) + " " + path + ": the path cannot be resolved");
    path = absolute.string();
    return Done();
  };
  // A port given as a relative path ("./ttySIM0"); names ("ttyUSB0", "pts/3", "COM5") stay.
  const auto relativePort = [](const std::string& port) {
    return port.starts_with("./") || port.starts_with("../");
  };
  if (Result<void> resolved = resolve(o.file, "--file"); !resolved) return resolved;
  if (Result<void> resolved = resolve(o.record, "--record"); !resolved) return resolved;
  for (std::string& port : o.ports) {
    if (!relativePort(port)) continue;
    if (Result<void> resolved = resolve(port, "--port"); !resolved) return resolved;
  }
  if (relativePort(o.port)) return resolve(o.port, "--port");
  return Done();
}

}  // namespace

int main(int argc, char** argv) {
  Result<FlashOptions> parsed = ParseFlashOptions(
      std::span<const char* const>(argv + 1, argc > 0 ? static_cast<std::size_t>(argc - 1) : 0));
  if (parsed && parsed->help) {
    std::fputs(FlashHelpText().c_str(), stdout);
    return 0;
  }
  if (parsed && parsed->version) {
    std::fputs(FlashVersionText().c_str(), stdout);
    return 0;
  }
  if (parsed) {
    if (Result<void> resolved = ResolvePaths(*parsed); !resolved) parsed = resolved.error();
  }
  if (!parsed) {
    std::fprintf(stderr, "movrand-flash: %s\n", parsed.error().text.c_str());
    return static_cast<int>(ExitCode::Usage);
  }
  const FlashOptions& options = *parsed;
  if (IsLine(options)) return RunLine(options);
  if (options.continuous) return RunContinuous(options);
  return Run(options);
}
