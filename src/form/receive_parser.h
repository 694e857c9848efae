// The receive handler's routing: every received chunk goes, byte by byte, where the receive
// mode says (nowhere, the NMEA collector, the BINR collector or the loader exchange), and the
// module's replies are acted on.
//
// The replies that matter: the version reply (NMEA "VER" or BINR 0x70), which identifies the
// module and ends a connection attempt, or starts loader entry when programming waits for
// it; the rate confirmation (NMEA "RZA" or BINR 0x50), which moves the port to the module's
// new rate; and the BINR probe answer 0x54, which is followed by the version request.
// Everything else is dropped. The handler owns the two collectors, which keep a sentence or
// frame across chunks and mode changes; everything else it touches is the window's surface.
// Mirroring the chunk to the terminal and the traffic log is the window's own step before
// this one. Main thread only.
//
// Reach: the state record (RxMode, DeviceIdentified, ProgramRequested, CurrentBaud,
// RetryCount, PortName, the version fields, SpeedButtonSynch's tag); it stops the probing
// timers (TimerSynchNMEA, TimerSynchBINR, TimerAutoBaudNmea, TimerAutoBaudBinr) and
// TimerRestart's rate follow; it enables Connect (SpeedButtonSynch), Programming (through
// UpdateProgramButton), and Cancel and Close when the reconnect after programming has found
// the module; the log pane; the events. Hands over to the programming procedure
// (StartLoaderEntry, LoaderByte, SpeedButton1Click) and empties the version data on a user's
// Connect (ForgetModule). No other control.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "comm/collectors.h"
#include "form/form_surface.h"

namespace movrand {

class ReceiveHandler {
 public:
  explicit ReceiveHandler(FormSurface& form);
  ReceiveHandler(const ReceiveHandler&) = delete;
  ReceiveHandler& operator=(const ReceiveHandler&) = delete;

  // Handles one chunk in the receive mode it arrived in: every byte of it under that mode,
  // even when a reply in the middle of it changes the mode; the loader exchange may drop the
  // rest of a chunk.
  void Route(const std::uint8_t* data, int length);

  // The version text of a BINR module: the zero-terminated text at data byte 1 of its last
  // version reply, never beyond the reply's 76 bytes.
  std::string BinrVersionText() const;
  // Empties what the last module's BINR version reply left (a malformed reply of the next
  // module would otherwise be read from it) and the version kept for the report after
  // programming.
  void ForgetModule();

  NmeaCollector NmeaRx;
  BinrCollector BinrRx;

 private:
  std::string PortLine(std::string_view protocol) const;
  void NmeaVersionReply(const NmeaSentence& sentence);
  void NmeaRateConfirmation(const NmeaSentence& sentence);
  void FollowRateConfirmation(std::int64_t rate, Timer& synchTimer);
  void BinrProbeAnswer();
  void BinrVersionReply();
  // `version`: the version texts joined by a blank, as the events carry them.
  void Identified(const std::string& versionLine, std::string version);

  FormSurface& form_;
  std::string lastVersion_;  // of the last identification, for the report after programming
};

}  // namespace movrand
