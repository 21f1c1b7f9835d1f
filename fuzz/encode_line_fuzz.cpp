// EncodeLine on arbitrary bytes: it must stay within the line and the frame,
// and every frame it builds must be one the device accepts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "frame.h"

namespace {

void Check(bool condition)
{
    if (!condition) std::abort();
}

void CheckFrame(const uint8_t* frame, size_t size)
{
    Check(size == kFrameOverhead + FrameDataLength(frame));
    Check(frame[0] == kStx && frame[size - 3] == kEtx);
    uint16_t crc = 0;
    for (size_t i = 1; i < size - 2; ++i) UpdateCrc16(crc, frame[i]);
    Check(frame[size - 2] == uint8_t(crc >> 8) && frame[size - 1] == uint8_t(crc));
}

// The pair conversion as the lenient rules state it, one pair at a time,
// against the encoder's fast path for plain digit pairs.
HexByte ReferencePair(const char* line, size_t length, size_t position)
{
    if (position >= length) return {false, 0};
    return ParseHexPair(line[position], position + 1 < length ? line[position + 1] : '\0');
}

void CheckData(const char* line, size_t size, const uint8_t* frame)
{
    const void* nul = std::memchr(line, '\0', size);
    size_t length = nul ? size_t(static_cast<const char*>(nul) - line) : size;
    size_t dataStart = line[1] == '1' ? 8 : line[1] == '2' ? 10 : line[1] == '3' ? 12 : 0;
    if (dataStart == 0) return;
    for (size_t i = 0; i < FrameDataLength(frame); ++i) {
        HexByte expected = ReferencePair(line, length, dataStart + 2 * i);
        Check(expected.ok && expected.value == frame[6 + i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Exactly sized heap copies: one byte past either is an AddressSanitizer report.
    std::unique_ptr<char[]> line(new char[size ? size : 1]);
    if (size) std::memcpy(line.get(), data, size);
    std::unique_ptr<uint8_t[]> frame(new uint8_t[kMaxFrameSize]);
    FrameResult result = EncodeLine(line.get(), size, frame.get());
    if (result.kind == FrameKind::Frame) {
        CheckFrame(frame.get(), result.size);
        CheckData(line.get(), size, frame.get());
    }
    else Check(result.size == 0);
    if (size == 0 || data[0] != 'S') Check(result.kind == FrameKind::Reject);
    return 0;
}
