// One seeded programming run of the main window against the in-process simulated module on
// the virtual clock, with faults drawn from the seed: blocks rejected once or in bursts, noise
// before and between the loader's start requests, bytes lost or garbled on the way to the
// loader, late answers, a block rejected forever, a module that goes silent after the rate
// change. The run ends as a technician would see it end, or not at all:
//  - Success: ">>Device is ready for normal operation", and the module holds the image byte
//    for byte;
//  - Abort: ">>Data loading has been canceled because of multiple errors!";
//  - Lost: ">>Device is not responding..." after the rate change;
//  - Cancel: the window waited a minute without news where it has no time-out of its own (the
//    loader exchange, the BINR version reply), and the technician pressed Cancel:
//    ">>The process is aborted", with the warning box when the loader exchange was running.
// Anything else (a hang past the time bound, an image that differs, an ending the drawn
// faults cannot explain, a block sent wrong) is a Failure, with the reason.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "comm/comm.h"
#include "support/sim_form.h"

namespace movrand::testing {

enum class SoakEnding { Success, Abort, Lost, Cancel, Failure };

inline const char* SoakEndingName(SoakEnding ending) {
  switch (ending) {
    case SoakEnding::Success:
      return "success";
    case SoakEnding::Abort:
      return "abort";
    case SoakEnding::Lost:
      return "lost after the rate change";
    case SoakEnding::Cancel:
      return "cancel";
    case SoakEnding::Failure:
      break;
  }
  return "FAILURE";
}

struct SoakResult {
  SoakEnding ending = SoakEnding::Failure;
  std::string why;       // for a failure: what went wrong; otherwise the faults drawn
  Milliseconds took{0};  // virtual time from Programming to the ending
};

// The faults of one seed, and whether they can explain each ending.
struct SoakFaults {
  sim::SimFaults module;
  std::int64_t rejectedForever = 0;  // position, 0 for none
  int wirePercent = 0;               // chance that a write loses or spoils a byte
  bool canAbort() const {
    if (rejectedForever != 0 || wirePercent > 0) return true;
    return std::any_of(module.rejections.begin(), module.rejections.end(),
                       [](const auto& r) { return r.second >= 4; });
  }
  std::string describe() const {
    std::string text;
    for (const auto& [position, times] : module.rejections) {
      text += "block " + std::to_string(position) + " rejected " + std::to_string(times) + "x; ";
    }
    for (const auto& [position, late] : module.lateAnswers) {
      text += "block " + std::to_string(position) + " answered " + std::to_string(late.count()) +
              " ms late; ";
    }
    if (module.noisePercent) text += "noise " + std::to_string(module.noisePercent) + "%; ";
    if (wirePercent) text += "wire faults " + std::to_string(wirePercent) + "%; ";
    if (rejectedForever) text += "block " + std::to_string(rejectedForever) + " rejected forever; ";
    if (module.silentAfterRateChange) text += "silent after the rate change; ";
    return text;
  }
};

inline SoakResult RunSoakTransfer(std::uint32_t seed) {
  constexpr Milliseconds kStep{20};
  constexpr Milliseconds kBound{20 * 60 * 1000};  // nothing legitimate takes this long
  constexpr Milliseconds kStall{60 * 1000};       // when the technician gives up waiting
  std::mt19937 random(seed);
  const auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };

  const sim::Protocol protocol = chance(50) ? sim::Protocol::Nmea : sim::Protocol::Binr;
  const std::uint32_t rates[] = {57600, 115200, 230400};
  const std::uint32_t rate = rates[random() % 3];
  const bool fast = chance(25);
  const bool rateChange = rate < 115200 || (rate == 115200 && fast);
  const int blocks = 1 + static_cast<int>(random() % 40);

  SoakFaults faults;
  faults.module.seed = seed;
  for (int i = static_cast<int>(random() % 4); i > 0; --i) {
    faults.module.rejections[1 + random() % blocks] = 1 + static_cast<int>(random() % 3);
  }
  if (chance(20))
    faults.module.lateAnswers[1 + random() % blocks] = Milliseconds{200 + random() % 4000};
  if (chance(30)) faults.module.noisePercent = 20 + static_cast<int>(random() % 40);
  if (chance(20)) faults.wirePercent = 1 + static_cast<int>(random() % 8);
  if (chance(8)) faults.rejectedForever = 1 + random() % blocks;
  if (rateChange && chance(15)) faults.module.silentAfterRateChange = true;

  sim::SimConfig config = ModuleAt(protocol, rate);
  config.faults = faults.module;
  config.nakForever = faults.rejectedForever;
  SimForm sim(config);
  sim.form.FastProgramming = fast;

  // The image: random bytes naming the module's model, a part block at the end.
  std::vector<std::uint8_t> image(static_cast<std::size_t>(blocks) * 128 - random() % 100);
  for (auto& b : image) b = static_cast<std::uint8_t>(random());
  const std::string model = "KAP41";
  std::copy(model.begin(), model.end(),
            image.begin() + static_cast<std::ptrdiff_t>(image.size() / 2));
  const auto file = std::filesystem::temp_directory_path() /
                    ("movrand-soak-" + std::to_string(getpid()) + "-" + std::to_string(seed));
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  struct Remove {
    std::filesystem::path path;
    ~Remove() { std::filesystem::remove(path); }
  } remove{file};

  SoakResult result;
  result.why = faults.describe();
  const auto fail = [&](std::string why) {
    result.ending = SoakEnding::Failure;
    result.why = why + " (faults: " + faults.describe() + ")";
    return result;
  };

  sim.Select(protocol == sim::Protocol::Nmea ? "NMEA" : "BINR", std::to_string(rate));
  sim.Connect();
  if (!sim.RunUntil([&] { return sim.form.DeviceIdentified; }, Milliseconds{10000})) {
    return fail("the module was not found before programming");
  }
  sim.form.OpenDialog1.FileName = file.string();
  sim.form.Edit1.setText("image.bin");
  sim.form.UpdateProgramButton();

  // From here on the line may lose or spoil what the program sends, until the image is in.
  std::mt19937 wire(seed ^ 0x5A5A5A5A);
  if (faults.wirePercent > 0) {
    sim.driver.setWireFault(
        [&wire, percent = faults.wirePercent](std::vector<std::uint8_t>& bytes) {
          // EOT is spared: a module that never hears it stays in its loader, and the reconnect
          // after programming reports that (its own tests cover it).
          if (bytes.size() == 1 && bytes[0] == 0x04) return;
          if (bytes.empty() || static_cast<int>(wire() % 100) >= percent) return;
          const std::size_t at = wire() % bytes.size();
          if (wire() % 2) {
            bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at));
          } else {
            bytes[at] = static_cast<std::uint8_t>(bytes[at] ^ (1u << (wire() % 8)));
          }
        });
  }

  const Milliseconds start = sim.loop.now();
  sim.form.SpeedButtonProgram.click();
  const auto said = [&](const std::string& text) {
    return std::any_of(sim.Lines().begin(), sim.Lines().end(),
                       [&](const std::string& line) { return line.ends_with(text); });
  };
  const MessageTable& m = sim.form.Messages;
  std::int32_t lastKB = -1;
  std::int32_t lastOffset = -1;
  Milliseconds lastProgress = sim.loop.now();
  std::size_t lastLines = 0;
  std::string lastLine;
  bool cancelled = false, cancelledInExchange = false;
  while (sim.loop.now() - start < kBound) {
    sim.loop.advance(kStep);
    if (said(m.TextLoadingCompleted)) sim.driver.setWireFault(nullptr);
    result.took = sim.loop.now() - start;
    if (said(m.TextDeviceReady)) {
      std::vector<std::uint8_t> padded = image;
      padded.resize(static_cast<std::size_t>(blocks) * 128, 0x1A);
      if (sim.module.image() != padded) return fail("the module's image differs from the file");
      if (faults.rejectedForever) return fail("a block rejected forever, and yet success");
      result.ending = SoakEnding::Success;
      return result;
    }
    if (said(m.TextTooManyErrors)) {
      if (!faults.canAbort()) return fail("aborted, but no block could be rejected four times");
      if (sim.form.RxMode != RxMode::Idle || PortIsOpen()) return fail("aborted, port still open");
      if (sim.module.firmwareLoaded()) return fail("aborted, yet the module took an image");
      result.ending = SoakEnding::Abort;
      return result;
    }
    if (said(m.TextNotResponding)) {
      if (!faults.module.silentAfterRateChange && faults.wirePercent == 0) {
        return fail("the module was lost with no fault to lose it");
      }
      result.ending = SoakEnding::Lost;
      return result;
    }
    if (said(m.TextReconnectFailed) || said(m.TextDeviceNotFound)) {
      return fail("the reconnect failed: " + sim.Lines().back());
    }
    if (cancelled) {
      const bool warned =
          !sim.dialogs.messages.empty() && sim.dialogs.messages.back().first == "Warning";
      if (!said(m.TextAborted) || PortIsOpen() || warned != cancelledInExchange ||
          (cancelledInExchange && sim.form.RxMode != RxMode::Idle)) {
        return fail("Cancel did not end the wait as it should");
      }
      result.ending = SoakEnding::Cancel;
      return result;
    }
    // Where the window waits without a time-out of its own (the loader exchange, the BINR
    // version reply), the technician ends the wait after a minute without news.
    const std::string last = sim.Lines().empty() ? std::string() : sim.Lines().back();
    if (sim.form.Programmer.Sender.KBSent() != lastKB ||
        sim.form.Programmer.Sender.ImageOffset() != lastOffset || sim.Lines().size() != lastLines ||
        last != lastLine || !PortIsOpen()) {
      lastKB = sim.form.Programmer.Sender.KBSent();
      lastOffset = sim.form.Programmer.Sender.ImageOffset();
      lastLines = sim.Lines().size();
      lastLine = last;
      lastProgress = sim.loop.now();
    } else if (sim.loop.now() - lastProgress >= kStall && sim.form.SpeedButton1.enabled()) {
      cancelledInExchange =
          sim.form.RxMode == RxMode::LoaderWait || sim.form.RxMode == RxMode::Transfer;
      sim.form.SpeedButton1.click();
      cancelled = true;
    }
  }
  return fail("no ending within 20 minutes of virtual time; last line: " +
              (sim.Lines().empty() ? std::string() : sim.Lines().back()));
}

}  // namespace movrand::testing
