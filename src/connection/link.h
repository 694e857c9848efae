// What the connection knows of each protocol, in one description per protocol, and the two
// resets that the connect, the synchronisation and the search share.
//
// A description says everything that differs between an NMEA and a BINR link: the receive
// mode of the open port, its parity, the probe a tick sends, the rates a scan tries, the
// timers that drive the scan and the synchronisation, and the longer probing window of the
// slowest NMEA rate. The code that connects, synchronises and scans is written once and
// driven by a description.
//
// Reach: a description names its protocol's two timers (scan and synchronisation) for the
// procedures that run them; the shared steps enable and disable the selectors, Connect,
// Programming, Cancel and Close, and write DeviceIdentified, PortName, the log pane and the
// events.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "comm/comm.h"
#include "form/form_surface.h"
#include "platform/serial_device.h"
#include "protocol/binr_output.h"
#include "protocol/nmea_output.h"

namespace movrand {

struct LinkDescription {
  RxMode mode;            // the receive mode while the port is open for this protocol
  Parity parity;          // of every open for this protocol
  std::string_view name;  // "NMEA", "BINR": the protocol search's line is "..." + name
  int (*sendProbe)();     // what a probe tick sends; the count written
  std::span<const std::uint32_t> scanRates;  // tried in this order
  Timer FormSurface::*scanTimer;
  Timer FormSurface::*synchTimer;
  Milliseconds scanInterval;  // the scan timer's interval at every rate but `slowRate`
  // The rate whose probe gets the longer window `slowRateWindow`; 0 when there is none.
  std::uint32_t slowRate;
  Milliseconds slowRateWindow;
};

// The rates each scan tries, in order. 14400 is for fixed-rate connects only; a BINR module
// never talks at 4800.
inline constexpr std::array<std::uint32_t, 7> kNmeaScanRates{115200, 230400, 57600, 38400,
                                                             19200,  9600,   4800};
inline constexpr std::array<std::uint32_t, 6> kBinrScanRates{115200, 230400, 57600,
                                                             38400,  19200,  9600};

inline constexpr LinkDescription kNmeaLink{
    .mode = RxMode::Nmea,
    .parity = Parity::None,
    .name = "NMEA",
    .sendProbe = [] { return SendNmeaSentence(SentenceVersionQuery); },
    .scanRates = kNmeaScanRates,
    .scanTimer = &FormSurface::TimerAutoBaudNmea,
    .synchTimer = &FormSurface::TimerSynchNMEA,
    .scanInterval = FormSurface::kTimerAutoBaudNmeaInterval,
    // At 4800 the version reply takes longer on the wire, so that rate gets a longer window.
    .slowRate = 4800,
    .slowRateWindow = Milliseconds{1000},
};

inline constexpr LinkDescription kBinrLink{
    .mode = RxMode::Binr,
    .parity = Parity::Odd,
    .name = "BINR",
    .sendProbe = [] { return SendBinrMessage(MsgProbe); },
    .scanRates = kBinrScanRates,
    .scanTimer = &FormSurface::TimerAutoBaudBinr,
    .synchTimer = &FormSurface::TimerSynchBINR,
    .scanInterval = FormSurface::kTimerAutoBaudBinrInterval,
    .slowRate = 0,
    .slowRateWindow = FormSurface::kTimerAutoBaudBinrInterval,
};

// A scan first checks that the port opens at all, at this rate.
inline constexpr std::uint32_t kTestOpenRate = 38400;
// The rate the link is assumed at when nothing is open (and after any failed search).
inline constexpr std::uint32_t kDefaultBaud = 115200;

// The port name of a port-list item: its text up to the first blank. Nothing when that name
// is longer than `kPortNameMax` characters, the most the connection's port-name field holds
// (a cut name would open another device). An empty item gives an empty name.
inline constexpr std::size_t kPortNameMax = 11;
static_assert(kPortNameMax <= kMaxPortNameLength,
              "the serial link opens every name the field holds");
std::optional<std::string> PortNameOf(std::string_view itemText);

// Opens `port` for `link` at `rate`.
bool OpenLink(const LinkDescription& link, std::string_view port, std::uint32_t rate);

// The idle reset of the connection's controls: Connect offered and enabled, the selectors
// enabled (the rate only when the protocol is not Auto), Programming disabled, no module
// identified.
void ResetConnectionControls(FormSurface& form);
// The reconnect after programming found no module: says so, and gives back Close and Cancel.
void ReportReconnectFailed(FormSurface& form);
// The protocol selector shows "Auto".
bool ProtocolIsAuto(const FormSurface& form);

}  // namespace movrand
