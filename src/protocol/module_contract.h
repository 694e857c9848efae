// The contract with the receiver module in one place: the BINR identifiers and frame bytes
// the program sends and acts on, the NMEA reply tags, the loader's control bytes and block
// format, the rates it is programmed at and the wait for its restart after programming, and
// the choice of the loader-entry command for a module model.
//
// Everything here is fixed by the module and its loader. The sentence and message output, the
// receive handler, the connection and the programming procedure take these values from here rather
// than writing the numbers again; the collectors, a floor below in comm/, carry the three BINR
// framing bytes themselves. The simulated module shares nothing of this either: it
// keeps its own account of the wire (sim/wire.h) and checks what the program sends against
// it, so these values are tested, not shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/rx_mode.h"

namespace movrand {

// --- BINR framing ------------------------------------------------------------------------
inline constexpr std::uint8_t kBinrDle = 0x10;  // frame start; doubled when it is a data byte
inline constexpr std::uint8_t kBinrEtx = 0x03;  // after a DLE: end of frame
inline constexpr std::uint8_t kBinrTrailerMarker = 0xFF;  // after a DLE: CRC-16 and DLE ETX follow

// --- BINR messages -----------------------------------------------------------------------
inline constexpr std::uint8_t kBinrIdProbe = 0x26;        // probe, no data
inline constexpr std::uint8_t kBinrIdProbeAnswer = 0x54;  // any BINR module's answer to the probe
inline constexpr std::uint8_t kBinrIdVersionRequest = 0x1B;  // version request, no data
inline constexpr std::uint8_t kBinrIdVersionReply = 0x70;    // version reply
inline constexpr std::size_t kBinrVersionDataLength = 76;    // data bytes of the version reply
inline constexpr std::size_t kBinrVersionTextOffset = 1;     // zero-terminated version text
inline constexpr std::size_t kBinrVersionText2Offset = 26;   // second text (RTK-type modules)
inline constexpr std::uint8_t kBinrIdSetPort = 0x0B;         // port number, rate (32-bit LE), code
inline constexpr std::uint8_t kBinrIdPortSettings = 0x50;    // confirmation of a rate command
inline constexpr std::size_t kBinrPortSettingsDataLength = 6;  // port, rate (LE), protocol
inline constexpr std::uint8_t kBinrSetPortProtocolCode = 4;    // the code the rate commands carry
inline constexpr std::uint8_t kBinrIdLoaderEntry = 0x01;       // data "RELOAD_B" or "RELOAD_R"

// --- NMEA replies: the three characters before the first comma ----------------------------
inline constexpr std::string_view kNmeaTagVersion = "VER";  // answer to "$POVER"
inline constexpr std::string_view kNmeaTagRate =
    "RZA";  // answer to "$PORZA,...": port,rate,protocol

// Model words that begin with these (case-sensitive) carry version words 4 and 5.
inline constexpr std::string_view kRtkModelPrefixes[] = {"RTK", "RTA", "RTM"};

// --- The loader (XMODEM-CRC, the program sends) --------------------------------------------
inline constexpr std::uint8_t kLoaderStartRequest = 0x43;  // "C": the loader is ready
inline constexpr int kLoaderStartRequestsInARow = 3;       // start requests that begin a transfer
inline constexpr std::uint8_t kXmodemSoh = 0x01;           // first byte of every block
inline constexpr std::uint8_t kXmodemAck = 0x06;           // block accepted
inline constexpr std::uint8_t kXmodemNak = 0x15;           // block rejected: send it again
inline constexpr std::uint8_t kXmodemEot = 0x04;  // sent once after the last accepted block
inline constexpr std::size_t kXmodemBlockDataSize = 128;
// SOH, number, 255 - number, 128 data bytes, CRC-16 high byte first.
inline constexpr std::size_t kXmodemBlockSize = 3 + kXmodemBlockDataSize + 2;
static_assert(kXmodemBlockSize == 133);

// --- Programming: the rates and the wait for the module's restart ------------------------
// The rates the link is raised to for programming: the usual one, and the fast one.
inline constexpr std::uint32_t kProgrammingRate = 115200;
inline constexpr std::uint32_t kFastProgrammingRate = 230400;
// After the transfer the module restarts from its new image before it answers again. The
// restart wait counts the ticks of its timer from a first tick, and the reconnect begins at
// the tick that finds `kRestartWaitTicks`. A module takes longer over an image of
// `kLongRestartImageLength` bytes or more: its count starts at 0 (26 ticks until the
// reconnect), that of a smaller image at 19 (7 ticks).
inline constexpr int kRestartWaitTicks = 25;
inline constexpr std::int64_t kLongRestartImageLength = 131072;
inline constexpr int kLongRestartFirstTick = 0;
inline constexpr int kShortRestartFirstTick = 19;
static_assert(kShortRestartFirstTick < kRestartWaitTicks);

constexpr int RestartWaitFirstTick(std::int64_t imageLength) {
  return imageLength >= kLongRestartImageLength ? kLongRestartFirstTick : kShortRestartFirstTick;
}

// --- Loader-entry command ---------------------------------------------------------------
enum class LoaderEntryCommand {
  None,             // no command for this mode (the link is not in NMEA or BINR mode)
  SentenceLoaderB,  // "$POPRL,B"
  SentenceLoaderC,  // "$POPRL,C"
  SentenceLoaderR,  // "$POPRL,R"
  MsgLoaderB,       // BINR 0x01 "RELOAD_B"
  MsgLoaderR,       // BINR 0x01 "RELOAD_R"
};

// True when `model` begins with "RTK", "RTA" or "RTM" (case-sensitive).
bool IsRtkTypeModel(std::string_view model);

// The loader-entry command for a link in `mode` to a module that reported `deviceModel`.
// The rows are tried in order: the models KAP41, KAP42, DOV41 and DOV42 (whole word, any
// letter case) take variant B in both protocols; over NMEA the models RTK and RTA (whole word,
// any case) and every model beginning with "RTM" (case-sensitive) take variant C; every other
// model takes variant R. Modes other than `Nmea` and `Binr` give `None`.
LoaderEntryCommand SelectLoaderEntryCommand(RxMode mode, std::string_view deviceModel);

// Sends the command `SelectLoaderEntryCommand` gives and returns the count written (0 for
// `None` or when no port is open).
int SendLoaderEntryCommand(RxMode mode, std::string_view deviceModel);

}  // namespace movrand
