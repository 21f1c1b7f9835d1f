// Frame encoding: one S-record line in, one device frame (or the end, or a
// refusal) out. Pure logic: no input, output or allocation of its own.
#pragma once

#include <cstddef>
#include <cstdint>

// A frame is STX, LEN, four address bytes, LEN data bytes, ETX and a
// two-byte CRC: 9 + LEN bytes, 264 at most.
constexpr size_t kFrameOverhead = 9;
constexpr size_t kMaxFrameSize = kFrameOverhead + 255;
constexpr size_t kControlSequenceSize = 7;

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;

// Sent whole, final zero byte included: once before the first line, and once
// when a termination record (S7, S8, S9) is read.
extern const uint8_t StartSequence[kControlSequenceSize];
extern const uint8_t EndSequence[kControlSequenceSize];

// CRC-16/ARC (reflected 0xA001, initial 0, no final XOR); one byte into the
// running value. A frame's CRC starts from 0.
void UpdateCrc16(uint16_t& crc, uint8_t byte);

struct HexByte {
    bool ok;
    uint8_t value;
};

// Two characters of a line into one byte, converted the way the device's
// original tooling converts them (a scanf "%02x" of the two characters
// alone, "C" locale): leading white space skipped, one digit is enough, a
// sign uses up one of the two characters, "0x" fails. A NUL character ends
// the text, as it would end a C string.
HexByte ParseHexPair(char first, char second);

enum class FrameKind {
    Frame,   // frame bytes are in the caller's buffer
    End,     // send EndSequence and finish
    Reject,  // the line is not acceptable; the transfer fails
};

struct FrameResult {
    FrameKind kind;
    size_t size;  // bytes of the frame for FrameKind::Frame, else 0
};

// Encodes one line as read (line end included, if any) into `frame`, which
// holds at least kMaxFrameSize bytes. Reads nothing at or after `length`, and
// nothing after a NUL character, which ends the line.
FrameResult EncodeLine(const char* line, size_t length, uint8_t* frame);

// The data byte count (LEN) of an encoded frame.
inline uint8_t FrameDataLength(const uint8_t* frame) { return frame[1]; }

// The load address (ADDR) of an encoded frame.
inline uint32_t FrameAddress(const uint8_t* frame)
{
    return (uint32_t(frame[2]) << 24) | (uint32_t(frame[3]) << 16) |
           (uint32_t(frame[4]) << 8) | uint32_t(frame[5]);
}
