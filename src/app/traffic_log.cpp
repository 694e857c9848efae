// The traffic log "log.dat" ("/l"): every received chunk as it came, and every write to the
// port after the mark ">>". The file holds the traffic since the last connect click that found
// no log open; it is emptied when opened and closed when a connection ends.
#include <system_error>

#include "app/main_form.h"
#include "platform/output_file.h"

namespace movrand {
namespace {

constexpr const char* kTrafficLogName = "log.dat";
// Why the log was not created, where the reason is one the user can act on.
constexpr std::string_view kTextLogIsLink =
    ">>log.dat is a symbolic link: the traffic log is not written through it";
constexpr std::string_view kTextLogNotPlain = ">>log.dat is not a plain file";
constexpr char kSentMark[2] = {'>', '>'};

}  // namespace

void TMainForm::OpenTrafficLog() {
  if (!LogEnabled || LogFile) return;
  // The program's folder becomes the current directory for the rest of the run, as the log
  // lives there; the file itself is opened by its full path so that nothing depends on it.
  // A relative program path is made absolute first: after the change of directory it would
  // name another folder.
  std::error_code ignored;
  std::filesystem::path folder = ProgramDataFolder(programFile());
  if (!folder.empty()) {
    if (std::filesystem::path absolute = std::filesystem::absolute(folder, ignored);
        !absolute.empty()) {
      folder = std::move(absolute);
    }
    std::filesystem::current_path(folder, ignored);
  }
  // A link planted in the log's place would have the traffic written wherever it points; it
  // is refused, and so is a pipe, which would hold the connect until someone reads it.
  OutputFileError error = OutputFileError::None;
  LogFile.reset(CreateOutputFile(folder / kTrafficLogName, error));
  if (!LogFile) {
    LogLine(Messages.TextLogFileFailed);
    if (error == OutputFileError::Link) LogLine(kTextLogIsLink);
    if (error == OutputFileError::NotRegular) LogLine(kTextLogNotPlain);
    LogEnabled = false;  // one message per run: no further attempts
  }
}

void TMainForm::CloseTrafficLog() {
  LogFile.reset();
}

void TMainForm::WriteTrafficReceived(const std::uint8_t* data, int length) {
  if (!LogEnabled || !LogFile || length <= 0 || data == nullptr) return;
  std::fwrite(data, 1, static_cast<std::size_t>(length), LogFile.get());
}

void TMainForm::WriteTrafficSent(const std::uint8_t* data, std::size_t length) {
  if (!LogEnabled || !LogFile) return;
  std::fwrite(kSentMark, 1, sizeof kSentMark, LogFile.get());
  if (length > 0 && data != nullptr) std::fwrite(data, 1, length, LogFile.get());
}

}  // namespace movrand
