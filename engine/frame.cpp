#include "frame.h"

#include <cstring>

#include "conversions.h"

const uint8_t StartSequence[kControlSequenceSize] = {0x1B, 0x1D, 0x3F, 0x30, 0x31, 0x0A, 0x00};
const uint8_t EndSequence[kControlSequenceSize] = {0x1B, 0x1D, 0x3F, 0x31, 0x30, 0x0A, 0x00};

namespace {

// The device's bit-by-bit CRC update: for each bit of the byte, least
// significant first, shift and apply 0xA001 when the bit differs from the
// CRC's bit 0.
constexpr uint16_t UpdateCrc16Bitwise(uint16_t crc, uint8_t byte)
{
    for (unsigned mask = 0x01; mask <= 0x80; mask <<= 1) {
        bool bitDiffers = ((byte & mask) != 0) != ((crc & 1) != 0);
        crc = uint16_t(bitDiffers ? (crc >> 1) ^ 0xA001 : crc >> 1);
    }
    return crc;
}

// The same update, eight bits at a time: the low byte of the CRC and the
// data byte only ever meet through their XOR. `ahead[k]` takes a byte
// followed by k more: the byte's entry carried through k further updates.
// Eight bytes then cost eight independent lookups instead of a chain of
// eight, which was most of a frame's encoding time.
constexpr unsigned kCrcStride = 8;
struct Crc16Table {
    uint16_t ahead[kCrcStride][256];
    constexpr Crc16Table() : ahead()
    {
        for (unsigned i = 0; i < 256; ++i) ahead[0][i] = UpdateCrc16Bitwise(0, uint8_t(i));
        for (unsigned k = 1; k < kCrcStride; ++k)
            for (unsigned i = 0; i < 256; ++i)
                ahead[k][i] = uint16_t((ahead[k - 1][i] >> 8) ^ ahead[0][ahead[k - 1][i] & 0xFF]);
    }
};
constexpr Crc16Table kCrc16Table;

// `count` bytes (2 to kCrcStride) into the running CRC at once: it meets
// the first two, the rest enter as they are.
inline uint16_t FoldBytes(uint16_t crc, const uint8_t* bytes, size_t count)
{
    const auto& ahead = kCrc16Table.ahead;
    uint16_t folded = uint16_t(ahead[count - 1][(crc ^ bytes[0]) & 0xFF] ^ ahead[count - 2][(crc >> 8) ^ bytes[1]]);
    for (size_t i = 2; i < count; ++i) folded = uint16_t(folded ^ ahead[count - 1 - i][bytes[i]]);
    return folded;
}

}  // namespace

void UpdateCrc16(uint16_t& crc, uint8_t byte)
{
    crc = uint16_t((crc >> 8) ^ kCrc16Table.ahead[0][(crc ^ byte) & 0xFF]);
}

namespace {

uint16_t Crc16Of(const uint8_t* bytes, size_t count)
{
    uint16_t crc = 0;
    for (; count >= kCrcStride; bytes += kCrcStride, count -= kCrcStride) crc = FoldBytes(crc, bytes, kCrcStride);
    if (count >= 2) return FoldBytes(crc, bytes, count);
    if (count == 1) UpdateCrc16(crc, bytes[0]);
    return crc;
}

// One character left in the field after the white space: a lone digit.
HexByte ParseSingle(char c)
{
    int digit = HexDigitValue(c);
    if (digit < 0) return {false, 0};
    return {true, uint8_t(digit)};
}

}  // namespace

HexByte ParseHexPair(char first, char second)
{
    if (first == '\0') return {false, 0};
    // White space is skipped outside the field width, so only the second
    // character is left to convert.
    if (IsScanfSpace(first)) return second == '\0' ? HexByte{false, 0} : ParseSingle(second);
    if (first == '+' || first == '-') {
        int digit = second == '\0' ? -1 : HexDigitValue(second);
        if (digit < 0) return {false, 0};
        return {true, uint8_t(first == '-' ? -digit : digit)};
    }
    // "0x" is taken as a prefix, which leaves no room for a digit.
    if (first == '0' && (second == 'x' || second == 'X')) return {false, 0};
    int high = HexDigitValue(first);
    if (high < 0) return {false, 0};
    int low = second == '\0' ? -1 : HexDigitValue(second);
    if (low < 0) return {true, uint8_t(high)};
    return {true, uint8_t(high * 16 + low)};
}

namespace {

struct LineView {
    const char* text;
    size_t length;  // up to the first NUL, which ends the line
};

LineView MakeLineView(const char* line, size_t length)
{
    const void* nul = memchr(line, '\0', length);
    return {line, nul ? size_t(static_cast<const char*>(nul) - line) : length};
}

// Hexadecimal digit values by character; -1 for everything else.
struct HexDigitTable {
    int8_t value[256];
    constexpr HexDigitTable() : value()
    {
        for (int c = 0; c < 256; ++c) value[c] = int8_t(HexDigitValue(char(c)));
    }
};
constexpr HexDigitTable kHexDigits;

// The pair at `position`; a pair cut by the line's end converts its first
// character alone, a pair that begins past the end fails.
HexByte PairAt(const LineView& line, size_t position)
{
    if (position + 1 < line.length) {
        // Two digits, as nearly every pair of a record is: nothing else of
        // the conversion rules can apply.
        int high = kHexDigits.value[uint8_t(line.text[position])];
        int low = kHexDigits.value[uint8_t(line.text[position + 1])];
        if ((high | low) >= 0) return {true, uint8_t(high * 16 + low)};
    }
    if (position >= line.length) return {false, 0};
    char second = position + 1 < line.length ? line.text[position + 1] : '\0';
    return ParseHexPair(line.text[position], second);
}

// Converts pairs of two hex digits from `position` on into `bytes`, up to
// `count` of them; stops at the first pair that needs the lenient rules (or
// the line's end) and returns how many it converted.
size_t ConvertDigitPairs(const LineView& line, size_t position, size_t count, uint8_t* bytes)
{
    size_t whole = position < line.length ? (line.length - position) / 2 : 0;
    if (count > whole) count = whole;
    const uint8_t* text = reinterpret_cast<const uint8_t*>(line.text) + position;
    for (size_t i = 0; i < count; ++i) {
        int high = kHexDigits.value[text[2 * i]];
        int low = kHexDigits.value[text[2 * i + 1]];
        if ((high | low) < 0) return i;
        bytes[i] = uint8_t(high * 16 + low);
    }
    return count;
}

struct RecordLayout {
    int addressBytes;   // 0: not a data record (header, count or unknown type)
    size_t dataStart;   // position of the first data pair
    uint8_t overhead;   // address bytes plus the checksum byte, taken off the count
};

// What the type character says about the record, for the types that are
// sent as data; termination records are handled by the caller.
RecordLayout LayoutOf(char type)
{
    switch (type) {
    case '1': return {2, 8, 3};
    case '2': return {3, 10, 4};
    case '3': return {4, 12, 5};
    default: return {0, 0, 0};
    }
}

size_t FinishFrame(uint8_t* frame, uint8_t dataLength, uint32_t address)
{
    frame[0] = kStx;
    frame[1] = dataLength;
    frame[2] = uint8_t(address >> 24);
    frame[3] = uint8_t(address >> 16);
    frame[4] = uint8_t(address >> 8);
    frame[5] = uint8_t(address);
    size_t etxAt = 6 + size_t(dataLength);
    frame[etxAt] = kEtx;
    uint16_t crc = Crc16Of(frame + 1, etxAt);
    frame[etxAt + 1] = uint8_t(crc >> 8);
    frame[etxAt + 2] = uint8_t(crc);
    return etxAt + 3;
}

}  // namespace

FrameResult EncodeLine(const char* rawLine, size_t rawLength, uint8_t* frame)
{
    const FrameResult reject = {FrameKind::Reject, 0};
    LineView line = MakeLineView(rawLine, rawLength);
    if (line.length == 0 || line.text[0] != 'S') return reject;
    HexByte count = PairAt(line, 2);
    if (!count.ok) return reject;

    char type = line.text[1];
    if (type == '7' || type == '8' || type == '9') return {FrameKind::End, 0};
    RecordLayout layout = LayoutOf(type);
    if (layout.addressBytes == 0) return {FrameKind::Frame, FinishFrame(frame, 0, 0)};

    uint32_t address = 0;
    for (int i = 0; i < layout.addressBytes; ++i) {
        HexByte part = PairAt(line, 4 + 2 * size_t(i));
        if (!part.ok) return reject;
        address = (address << 8) | part.value;
    }
    // Done in 8 bits, as the device's tooling does: a count below the
    // overhead wraps to a large length that the line cannot supply.
    uint8_t dataLength = uint8_t(count.value - layout.overhead);
    size_t converted = ConvertDigitPairs(line, layout.dataStart, dataLength, frame + 6);
    for (size_t i = converted; i < dataLength; ++i) {
        HexByte data = PairAt(line, layout.dataStart + 2 * i);
        if (!data.ok) return reject;
        frame[6 + i] = data.value;
    }
    return {FrameKind::Frame, FinishFrame(frame, dataLength, address)};
}
