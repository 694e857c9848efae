// The BINR messages the program sends to the receiver module, and their framing.
//
// Each message is stored in its plain framed form: DLE, id, data, DLE, ETX, without stuffing
// and without a checksum. Sending rebuilds the frame as the module expects it: DLE, the id
// and data with every 0x10 doubled, DLE 0xFF, the CRC-16 (XMODEM parameters) of the id and
// data as sent (a doubled 0x10 counts twice), low byte first, and DLE ETX.
// `FrameBinrMessage` is that rebuilding without the port, for the simulated module and the
// tests; `SendBinrMessage` writes the frame in one write. A template shorter than 4 bytes, or
// one whose frame would not fit the 1024-byte send buffer, is refused whole: nothing is sent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "comm/comm.h"
#include "protocol/module_contract.h"

namespace movrand {

// Probe: a BINR module answers with id 0x54.
inline constexpr std::array<std::uint8_t, 4> MsgProbe{kBinrDle, kBinrIdProbe, kBinrDle, kBinrEtx};
// Version request: answered with id 0x70.
inline constexpr std::array<std::uint8_t, 4> MsgVersionRequest{kBinrDle, kBinrIdVersionRequest,
                                                               kBinrDle, kBinrEtx};
// Port 0 to 115200 (00 C2 01 00, little-endian), protocol code 4; confirmed with id 0x50.
inline constexpr std::array<std::uint8_t, 10> MsgRate115200{
    kBinrDle, kBinrIdSetPort,           0x00,     0x00,    0xC2, 0x01,
    0x00,     kBinrSetPortProtocolCode, kBinrDle, kBinrEtx};
// Port 0 to 230400 (00 84 03 00, little-endian), protocol code 4; confirmed with id 0x50.
inline constexpr std::array<std::uint8_t, 10> MsgRate230400{
    kBinrDle, kBinrIdSetPort,           0x00,     0x00,    0x84, 0x03,
    0x00,     kBinrSetPortProtocolCode, kBinrDle, kBinrEtx};
// Loader entry, variant R: "RELOAD_R".
inline constexpr std::array<std::uint8_t, 12> MsgLoaderR{
    kBinrDle, kBinrIdLoaderEntry, 'R', 'E', 'L', 'O', 'A', 'D', '_', 'R', kBinrDle, kBinrEtx};
// Loader entry, variant B: "RELOAD_B".
inline constexpr std::array<std::uint8_t, 12> MsgLoaderB{
    kBinrDle, kBinrIdLoaderEntry, 'R', 'E', 'L', 'O', 'A', 'D', '_', 'B', kBinrDle, kBinrEtx};

// The frame is built in a buffer the size of the link's send buffer.
inline constexpr std::size_t kBinrFrameBufferSize = kTxBufferSize;
// The shortest template: DLE, id, DLE, ETX.
inline constexpr std::size_t kBinrMinTemplateLength = 4;

using BinrFrameBuffer = std::array<std::uint8_t, kBinrFrameBufferSize>;

// Builds the frame of `message` (a template as above) into `frame` and returns its length,
// or 0 when the template is refused; `frame` is then left as it was.
std::size_t FrameBinrMessage(std::span<const std::uint8_t> message, BinrFrameBuffer& frame);
// The same, as a byte string; empty when the template is refused.
std::vector<std::uint8_t> FrameBinrMessage(std::span<const std::uint8_t> message);

// Frames the template of `n` bytes and writes it to the open port in one write. Returns the
// count written: 0 when no port is open or the template is refused (a null pointer or a
// negative `n` included).
int SendBinrMessage(const std::uint8_t* message, int n);
int SendBinrMessage(std::span<const std::uint8_t> message);

}  // namespace movrand
