// movrand-flash: the headless front end. The same main window model as the window, driven
// from the command line; see options.h for the command line and the exit codes, flash_run.h
// for how a run goes.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
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
#include "cli/log_printer.h"
#include "cli/options.h"
#include "cli/record.h"
#include "platform/console.h"
#include "platform/port_names.h"
#include "platform/port_source.h"
#include "platform/serial_device.h"
#include "platform/std_event_loop.h"

namespace {

namespace fs = std::filesystem;
using namespace movrand;
using namespace movrand::cli;

// The window's program file is "movrand"; this one's settings file would be
// "movrand-flash.ini" in the current folder. The run never writes it, and every choice it
// could hold is set from the command line after it was read.
constexpr const char* kProgramFileName = "movrand-flash";

// A module in its loader takes the image at the programming rate the window would use.
constexpr std::uint32_t kRecoveryRate = 115200;
constexpr std::uint32_t kRecoveryFastRate = 230400;

void WriteOut(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// A failure before the run: the reason on standard error (and as the result event with
// --json); the exit code.
int Refuse(bool json, ExitCode code, const std::string& detail,
           OpenError reason = OpenError::None) {
  std::fprintf(stderr, "movrand-flash: %s\n", detail.c_str());
  const std::string_view hint = OpenErrorHint(reason);
  if (!hint.empty()) std::fprintf(stderr, "movrand-flash: hint: %s\n", std::string(hint).c_str());
  if (json) {
    RunSummary summary;
    summary.code = code;
    summary.detail = detail;
    if (reason != OpenError::None) {
      summary.reason = std::string(OpenErrorName(reason));
      summary.reasonText = std::string(OpenErrorText(reason));
      if (!hint.empty()) summary.hint = std::string(hint);
    }
    WriteOut(JsonResultEvent(summary) + "\n");
  }
  return static_cast<int>(code);
}

// Why the image named on the command line cannot be read; empty when it can.
std::string ImageProblem(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) return "no such file";
  if (fs::is_directory(status)) return "it is a folder, not a file";
  if (!fs::is_regular_file(status)) return "it is not a regular file";
  if (!std::ifstream(path, std::ios::binary)) return "it cannot be opened for reading";
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

// The record's line of this run, when --record asks for one; a failed write is said and
// makes the run's code "record" unless it is already worse.
ExitCode Record(RecordFile* record, const std::string& port, RunSummary& summary,
                const std::optional<ImageFacts>& image,
                std::chrono::system_clock::time_point started,
                std::chrono::steady_clock::time_point startedSteady) {
  if (!record) return summary.code;
  StationRecord line{.time = started, .port = port, .summary = summary, .image = image};
  line.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - startedSteady).count();
  if (const std::string error = record->append(RecordLine(line)); !error.empty()) {
    std::fprintf(stderr, "movrand-flash: the record was not written: %s\n", error.c_str());
    summary.code = WorseOf(summary.code, ExitCode::RecordFailed);
    if (summary.code == ExitCode::RecordFailed) summary.detail = error;
  }
  return summary.code;
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

int Run(const FlashOptions& o) {
  const auto started = std::chrono::system_clock::now();
  const auto startedSteady = std::chrono::steady_clock::now();
  // The image's full path before anything else: the settings and the traffic log may change
  // the current folder.
  // A bad image is refused once the window's model exists, with the line the window writes.
  std::string image;
  std::string imageProblem;
  if (!o.file.empty()) {
    std::error_code error;
    const fs::path path = fs::absolute(o.file, error);
    imageProblem = error ? "its path cannot be resolved" : ImageProblem(path);
    image = path.string();
  }
  std::error_code error;
  const fs::path folder = fs::current_path(error);
  if (error) return Refuse(o.json, ExitCode::Internal, "the current folder cannot be read");

  InterruptWatch interrupts;  // before any thread exists, so that all of them inherit its mask

  const OutputMode mode = o.json                   ? OutputMode::Json
                          : PrepareConsoleOutput() ? OutputMode::Terminal
                                                   : OutputMode::Plain;
  StdEventLoop loop;
  SystemLocalClock clock;
  const std::unique_ptr<PortSource> ports = CreateSystemPortSource();
  PathFileDialog fileDialog(imageProblem.empty() ? image : std::string());
  LogPrinter printer(loop, mode, WriteOut, mode == OutputMode::Terminal ? ConsoleWidth() : 0);
  HeadlessDialogs dialogs(printer, o.yes, [&interrupts](const std::string& question) {
    return AskOnTerminal(question, interrupts.interrupted());
  });
  const auto sayAside = [&printer](const std::string& text) {
    printer.finish();
    std::fprintf(stderr, "movrand-flash: %s\n", text.c_str());
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
    return Refuse(o.json, ExitCode::Internal,
                  std::string("the window model could not be built: ") + failure.what());
  }

  if (o.list) {
    form->RefreshPortList();
    if (!form->Memo1.lines().empty()) {  // the list could not be read: the window says why
      return Refuse(o.json, ExitCode::PortUnavailable, PrintableText(form->Memo1.lines().back()));
    }
    for (const std::string& item : form->PortComboBox.items()) {
      WriteOut(PrintableText(item) + "\n");
    }
    return 0;
  }

  // The window takes one switch; here they combine.
  if (o.test) ApplyCommandLine(*form, "/t");
  form->LogEnabled = o.log;
  form->FastProgramming = o.fast;

  if (!imageProblem.empty()) {
    SayAsTheWindow(*form, printer,
                   form->Messages.TextCantOpenFile + fs::path(image).filename().string(), false);
    return Refuse(o.json, ExitCode::Usage, "cannot read the image " + o.file + ": " + imageProblem);
  }
  // The record is opened before any module is touched: a module that cannot be recorded is
  // not flashed.
  RecordFile recordFile;
  RecordFile* record = nullptr;
  if (!o.record.empty()) {
    if (const std::string error = recordFile.open(o.record); !error.empty()) {
      return Refuse(o.json, ExitCode::RecordFailed, "the record cannot be written: " + error);
    }
    record = &recordFile;
  }
  std::optional<ImageFacts> imageFacts;
  if (record && !image.empty()) imageFacts = ReadImageFacts(image);
  // A refusal from here on is a run of this station too, and recorded.
  const auto refuseRecorded = [&](ExitCode code, const std::string& detail,
                                  OpenError reason = OpenError::None) {
    RunSummary summary;
    summary.code = code;
    summary.detail = detail;
    const ExitCode recorded = Record(record, o.port, summary, imageFacts, started, startedSteady);
    return Refuse(o.json, recorded, detail, reason);
  };
  const PortLookup port = LookUpPort(o.port, kPortNameMax);
  if (!port.error.empty()) {
    if (!port.missing) return refuseRecorded(ExitCode::Usage, port.error);
    SayAsTheWindow(*form, printer, form->Messages.TextPortBusy, true);
    return refuseRecorded(ExitCode::PortUnavailable,
                          port.error + " (movrand-flash --list shows the ports)",
                          OpenError::Missing);
  }

  CommSession session(*form, loop, latency);
  RunChoices choices{.portName = port.name,
                     .protocol = o.protocol,
                     .baud = o.baud,
                     .program = !image.empty() && !o.recover,
                     .timeout = std::nullopt,
                     .expectVersion = o.expectVersion,
                     .recovery = std::nullopt};
  if (o.timeoutSeconds) choices.timeout = Milliseconds{std::int64_t{*o.timeoutSeconds} * 1000};
  if (o.recover) {
    choices.recovery =
        Recovery{.linkMode = o.protocol == ProtocolChoice::Binr ? RxMode::Binr : RxMode::Nmea,
                 .rate = o.fast ? kRecoveryFastRate : kRecoveryRate,
                 .model = o.model};
  }
  FlashRun run(
      *form, dialogs, std::move(choices), [&loop] { loop.quit(); }, sayAside);
  printer.setProgress(form->Messages.TextFileSize, [&run] { return run.progress(); });
  if (mode == OutputMode::Json) {
    run.onStage = [](Stage stage) { WriteOut(JsonStageEvent(StageName(stage)) + "\n"); };
  }
  std::string refused;
  if (!run.select(refused)) return refuseRecorded(ExitCode::Usage, refused);

  BindView(*form, printer, run);
  interrupts.start([&loop, &run] { loop.post([&run] { run.interrupt(); }); });
  const std::shared_ptr<StationInput> stationInput =
      o.station ? WatchStationInput([&loop, &run] { loop.post([&run] { run.interrupt(); }); })
                : nullptr;
  run.start();
  loop.run();
  interrupts.stop();
  if (stationInput) stationInput->stop();
  UnbindView(*form);
  // Readers still handing data over are released before the link is taken down.
  loop.stop();

  RunSummary summary = run.summary();
  Record(record, port.name, summary, imageFacts, started, startedSteady);
  printer.result(summary);
  if (summary.code != ExitCode::Success && mode != OutputMode::Json) {
    const std::string reason = summary.reasonText ? " (" + *summary.reasonText + ")" : "";
    std::fprintf(stderr, "movrand-flash: %s (exit code %d)%s%s%s\n",
                 std::string(ExitCodeMeaning(summary.code)).c_str(), static_cast<int>(summary.code),
                 summary.detail.empty() ? "" : ": ", PrintableText(summary.detail).c_str(),
                 reason.c_str());
    if (summary.hint) std::fprintf(stderr, "movrand-flash: hint: %s\n", summary.hint->c_str());
  }
  return static_cast<int>(summary.code);
}

}  // namespace

int main(int argc, char** argv) {
  const ParsedFlashOptions parsed = ParseFlashOptions(
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
  if (IsLine(parsed.options)) return RunLine(parsed.options);
  return Run(parsed.options);
}
