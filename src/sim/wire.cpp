#include "sim/wire.h"

#include "platform/text.h"

namespace movrand::sim {
namespace {

constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;

RxStep Violation(const char* what) {
  return {RxStep::Kind::Violation, what};
}

int HexDigit(char c) {
  // Upper case only: the checksum is written as two upper-case hexadecimal digits.
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// --- NMEA ------------------------------------------------------------------------------

RxStep StrictNmeaReceiver::push(std::uint8_t byte) {
  switch (state_) {
    case State::Idle:
      if (byte != '$') return {RxStep::Kind::Stray};
      text_ = "$";
      state_ = State::Body;
      return {};
    case State::Discard:
      // The rest of a sentence already reported as dropped.
      if (byte == '$') {
        text_ = "$";
        state_ = State::Body;
      }
      return {};
    case State::Body:
      if (byte == '$') return startOver("nmea-unterminated", byte);
      if (byte == kCr) {
        state_ = State::Cr;
        return {};
      }
      if (byte == kLf) {
        state_ = State::Idle;
        return Violation("nmea-missing-cr");
      }
      if (byte < 0x20 || byte > 0x7E) {
        state_ = State::Discard;
        return Violation("nmea-bad-character");
      }
      if (text_.size() + 1 + 2 > kNmeaMaxLength) {  // this character, then CR LF
        state_ = State::Discard;
        return Violation("nmea-too-long");
      }
      text_.push_back(static_cast<char>(byte));
      return {};
    case State::Cr:
      if (byte == kLf) {
        state_ = State::Idle;
        return finish();
      }
      if (byte == '$') return startOver("nmea-missing-lf", byte);
      state_ = State::Discard;
      return Violation("nmea-missing-lf");
  }
  return {};
}

RxStep StrictNmeaReceiver::startOver(const char* violation, std::uint8_t byte) {
  (void)byte;  // always the "$" that begins the next sentence
  text_ = "$";
  state_ = State::Body;
  return Violation(violation);
}

RxStep StrictNmeaReceiver::finish() {
  const std::size_t star = text_.find('*');
  if (star == std::string::npos) return Violation("nmea-missing-checksum");
  if (star + 3 != text_.size()) return Violation("nmea-bad-checksum-field");
  const int high = HexDigit(text_[star + 1]);
  const int low = HexDigit(text_[star + 2]);
  if (high < 0 || low < 0) return Violation("nmea-bad-checksum-field");
  const std::string_view body = std::string_view(text_).substr(1, star - 1);
  if (NmeaChecksum(body) != high * 16 + low) return Violation("nmea-bad-checksum");
  body_.assign(body);
  return {RxStep::Kind::Message};
}

void StrictNmeaReceiver::reset() {
  state_ = State::Idle;
  text_.clear();
}

// --- BINR ------------------------------------------------------------------------------

RxStep StrictBinrReceiver::push(std::uint8_t byte) {
  switch (state_) {
    case State::Idle:
      if (byte != kDle) return {RxStep::Kind::Stray};
      state_ = State::Start;
      return {};
    case State::Start:
      if (byte == kDle || byte == kEtx || byte == kCrcMark) {
        state_ = State::Idle;
        return Violation("binr-bad-start");
      }
      id_ = byte;
      data_.clear();
      crc_ = Crc16(0, byte);
      state_ = State::Body;
      return {};
    case State::Body:
      if (byte == kDle) {
        state_ = State::BodyDle;
        return {};
      }
      if (1 + data_.size() >= kBinrMaxFrame) return drop("binr-too-long");
      data_.push_back(byte);
      crc_ = Crc16(crc_, byte);
      return {};
    case State::BodyDle:
      if (byte == kDle) {  // a stuffed data byte 0x10: both copies enter the CRC
        if (1 + data_.size() >= kBinrMaxFrame) return drop("binr-too-long");
        data_.push_back(kDle);
        crc_ = Crc16(Crc16(crc_, kDle), kDle);
        state_ = State::Body;
        return {};
      }
      if (byte == kCrcMark) {
        state_ = State::CrcLow;
        return {};
      }
      if (byte == kEtx) {
        state_ = State::Idle;
        return Violation("binr-missing-crc");
      }
      return drop("binr-bad-stuffing");
    case State::CrcLow:  // the CRC bytes are never stuffed
      wireCrc_ = byte;
      state_ = State::CrcHigh;
      return {};
    case State::CrcHigh:
      wireCrc_ = static_cast<std::uint16_t>(wireCrc_ | (byte << 8));
      state_ = State::EndDle;
      return {};
    case State::EndDle:
      if (byte != kDle) return drop("binr-bad-trailer");
      state_ = State::EndEtx;
      return {};
    case State::EndEtx:
      if (byte != kEtx) return drop("binr-bad-trailer");
      state_ = State::Idle;
      if (wireCrc_ != crc_) return Violation("binr-bad-crc");
      return {RxStep::Kind::Message};
    case State::Discard:
      if (byte == kDle) state_ = State::DiscardDle;
      return {};
    case State::DiscardDle:
      // DLE ETX ends the broken frame; DLE DLE is a stuffed byte inside it.
      state_ = byte == kEtx ? State::Idle : State::Discard;
      return {};
  }
  return {};
}

RxStep StrictBinrReceiver::drop(const char* violation) {
  state_ = State::Discard;
  return Violation(violation);
}

void StrictBinrReceiver::reset() {
  state_ = State::Idle;
  data_.clear();
}

// --- XMODEM ----------------------------------------------------------------------------

std::uint16_t Crc16(std::uint16_t crc, std::uint8_t byte) {
  constexpr std::uint16_t kPolynomial = 0x1021;
  crc = static_cast<std::uint16_t>(crc ^ (byte << 8));
  for (int bit = 0; bit < 8; ++bit) {
    crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ kPolynomial)
                         : static_cast<std::uint16_t>(crc << 1);
  }
  return crc;
}

BlockCheck CheckXmodemBlock(std::span<const std::uint8_t, kXmodemBlock> block) {
  BlockCheck check;
  check.number = block[1];
  if (block[0] != kSoh) {
    check.violation = "xmodem-bad-start";
  } else if (block[1] + block[2] != 0xFF) {
    check.violation = "xmodem-bad-complement";
  } else {
    std::uint16_t crc = 0;
    for (std::size_t i = 3; i < 3 + kXmodemData; ++i) crc = Crc16(crc, block[i]);
    const std::uint16_t wire = static_cast<std::uint16_t>((block[131] << 8) | block[132]);
    if (crc != wire) {
      check.violation = "xmodem-bad-crc";
    } else {
      check.ok = true;
    }
  }
  return check;
}

// --- What the module sends --------------------------------------------------------------

std::uint8_t NmeaChecksum(std::string_view body) {
  std::uint8_t sum = 0;
  for (const char c : body) sum ^= static_cast<std::uint8_t>(c);
  return sum;
}

std::string FrameNmea(std::string_view body) {
  const std::uint8_t sum = NmeaChecksum(body);
  std::string out;
  out.reserve(body.size() + 6);
  out += '$';
  out += body;
  out += '*';
  AppendHex(out, sum, 2);
  out += "\r\n";
  return out;
}

std::vector<std::uint8_t> FrameBinr(std::uint8_t id, std::span<const std::uint8_t> data,
                                    BinrEnding ending) {
  std::vector<std::uint8_t> out{kDle};
  std::uint16_t crc = 0;
  auto put = [&](std::uint8_t b) {
    out.push_back(b);
    crc = Crc16(crc, b);
    if (b == kDle) {
      out.push_back(b);
      crc = Crc16(crc, b);
    }
  };
  put(id);
  for (const std::uint8_t b : data) put(b);
  if (ending == BinrEnding::Crc) {
    out.push_back(kDle);
    out.push_back(kCrcMark);
    out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    out.push_back(static_cast<std::uint8_t>(crc >> 8));
  }
  out.push_back(kDle);
  out.push_back(kEtx);
  return out;
}

std::string Printable(std::span<const std::uint8_t> bytes, std::size_t limit) {
  std::string out;
  const std::size_t shown = bytes.size() < limit ? bytes.size() : limit;
  for (std::size_t i = 0; i < shown; ++i) {
    const std::uint8_t b = bytes[i];
    if (b >= 0x20 && b < 0x7F && b != '<') {
      out += static_cast<char>(b);
    } else {
      out += '<';
      AppendHex(out, b, 2);
      out += '>';
    }
  }
  if (shown < bytes.size()) out += "...";
  return out;
}

}  // namespace movrand::sim
