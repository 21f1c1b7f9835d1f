// The frame encoder: the CRC and the pair conversion against independent
// references, and one table of lines with the frame each must give.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "frame.h"
#include "hex.h"

namespace {

using quorvane_test::Bytes;
using quorvane_test::FromHex;

// The textbook formulation of CRC-16/ARC, written independently of the
// encoder's tables.
uint16_t ReferenceCrc16(const Bytes& bytes, size_t from, size_t to)
{
    uint16_t crc = 0;
    for (size_t i = from; i < to; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
    }
    return crc;
}

// STX, LEN, the address and data given, ETX and the reference CRC.
Bytes Framed(const std::string& addressAndDataHex)
{
    Bytes frame = FromHex("02 00" + addressAndDataHex + "03");
    frame[1] = uint8_t(frame.size() - 7);
    uint16_t crc = ReferenceCrc16(frame, 1, frame.size());
    frame.push_back(uint8_t(crc >> 8));
    frame.push_back(uint8_t(crc));
    return frame;
}

TEST(Crc16, CheckValueAndEveryByteValue)
{
    uint16_t digits = 0;
    for (char c : std::string("123456789")) UpdateCrc16(digits, uint8_t(c));
    EXPECT_EQ(digits, 0xBB3D);
    Bytes all;
    for (int i = 0; i < 256; ++i) all.push_back(uint8_t(i));
    uint16_t crc = 0;
    for (uint8_t b : all) UpdateCrc16(crc, b);
    EXPECT_EQ(crc, ReferenceCrc16(all, 0, all.size()));
}

// Every pair of byte values against the C library's own "%02x" conversion
// of the two characters, except "0x" and "0X": they must fail, where some C
// libraries take the prefix as a zero.
TEST(ParseHexPair, MatchesTheCLibraryConversionForEveryPair)
{
    int differences = 0;
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            const char text[3] = {char(first), char(second), '\0'};
            HexByte ours = ParseHexPair(text[0], text[1]);
            unsigned value = 0;
            bool prefix = first == '0' && (second == 'x' || second == 'X');
            bool libraryOk = !prefix && std::sscanf(text, "%02x", &value) == 1;
            if ((ours.ok != libraryOk || (libraryOk && ours.value != uint8_t(value))) && ++differences <= 10)
                ADD_FAILURE() << "pair 0x" << std::hex << first << " 0x" << second;
        }
    }
}

std::string ToHex(uint8_t byte)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", unsigned(byte));
    return text;
}

// The encoder takes the CRC eight bytes at a time and the rest one way
// for each count left over: every count of data bytes from 0 to 24 covers
// every remainder, over frames of one to four strides.
TEST(Crc16, EveryFrameLengthAgainstTheReference)
{
    std::string data;
    for (int length = 0; length <= 24; data += ToHex(uint8_t(37 * ++length))) {
        std::string line = "S1" + ToHex(uint8_t(length + 3)) + "1234" + data + "\n";
        Bytes frame(kMaxFrameSize);
        FrameResult result = EncodeLine(line.data(), line.size(), frame.data());
        frame.resize(result.size);
        EXPECT_EQ(frame, Framed("00 00 12 34" + data)) << length << " data bytes";
    }
}

struct LineCase {
    const char* name;
    std::string line;
    FrameKind kind;
    Bytes frame;  // for FrameKind::Frame
};

const char kWorkedS1[] = "S1130000285F245F2212226A000424290008237C2A";
const Bytes kWorkedS1Frame = FromHex("02 10 00 00 00 00 28 5F 24 5F 22 12 22 6A 00 04 24 29 00 08 23 7C 03 16 BF");
const Bytes kEmptyFrame = FromHex("02 00 00 00 00 00 03 01 40");
const FrameKind kFrame = FrameKind::Frame, kEnd = FrameKind::End, kReject = FrameKind::Reject;

TEST(EncodeLine, EveryLineGivesItsFrame)
{
    const std::string longest = "S3FF00000000" + std::string(500, '7') + "00\r\n";
    const LineCase cases[] = {
        {"S0 header", "S00600004844521B\n", kFrame, kEmptyFrame},
        {"S1 data", std::string(kWorkedS1) + "\n", kFrame, kWorkedS1Frame},
        {"S2 data", "S2080100001122334477\n", kFrame, FromHex("02 04 00 01 00 00 11 22 33 44 03 6C F5")},
        {"S3 data", "S30A000100000102030400EB\n", kFrame, FromHex("02 05 00 01 00 00 01 02 03 04 00 03 C9 65")},
        {"S5 count", "S5030001FB\n", kFrame, kEmptyFrame},
        {"S4, SX and S blank: the empty frame", "SX03\n", kFrame, kEmptyFrame},
        {"S0 reads nothing after the count", "S003", kFrame, kEmptyFrame},
        {"S9 end", "S9030000FC\n", kEnd, {}},
        {"S7 end", "S70500000000FA\n", kEnd, {}},
        {"S8 end whatever follows", "S804zz\n", kEnd, {}},
        {"S3 full address", "S305A3A2A1A0CC\n", kFrame, Framed("A3 A2 A1 A0")},
        {"S2 address zero-extended", "S204123456CC\n", kFrame, Framed("00 12 34 56")},
        {"S1 count 3: no data", "S103A1A0BB\n", kFrame, Framed("00 00 A1 A0")},
        {"CR LF line end", std::string(kWorkedS1) + "\r\n", kFrame, kWorkedS1Frame},
        {"wrong record checksum", "S1130000285F245F2212226A000424290008237C00\n", kFrame, kWorkedS1Frame},
        {"lower-case digits", "S1130000285f245f2212226a000424290008237c2a\n", kFrame, kWorkedS1Frame},
        {"junk after the checksum", std::string(kWorkedS1) + "  junk\n", kFrame, kWorkedS1Frame},
        {"no line end", kWorkedS1, kFrame, kWorkedS1Frame},
        {"digit then line end", "S10400005\n", kFrame, Framed("00 00 00 00 05")},
        {"blank then digit", "S1040000 5\n", kFrame, Framed("00 00 00 00 05")},
        {"blank then digit after pairs of two digits", "S1060000AABB 5\n", kFrame, Framed("00 00 00 00 AA BB 05")},
        {"count one too large takes the checksum", "S1050000ABCD\n", kFrame, Framed("00 00 00 00 AB CD")},
        {"NUL ends the line within a pair", std::string("S10400005\0" "7\n", 12), kFrame, Framed("00 00 00 00 05")},
        {"the longest record", longest, kFrame, Framed("00 00 00 00" + std::string(500, '7'))},
        {"count 2 wraps LEN to 255: the largest frame", "S1020000" + std::string(510, '1'), kFrame,
         Framed("00 00 00 00" + std::string(510, '1'))},
        // Refused lines.
        {"empty", "", kReject, {}},
        {"line end only", "\n", kReject, {}},
        {"lower-case s", "s1130000285F245F2212226A000424290008237C2A\n", kReject, {}},
        {"leading blank", " S1130000285F\n", kReject, {}},
        {"S and type only", "S1", kReject, {}},
        {"S9 count not hexadecimal", "S9ZZ0000FC\n", kReject, {}},
        {"S0 count not hexadecimal", "S0ZZ\n", kReject, {}},
        {"count 2 wraps and runs out", "S1020000FD\n", kReject, {}},
        {"one-digit count then line end", "S15\n", kReject, {}},
        {"bad address digit", "S113G000285F\n", kReject, {}},
        {"bad data digit", "S1130000285F245F2212226A0004242900Q8237C2A\n", kReject, {}},
        {"0x in the data", "S10400000x\n", kReject, {}},
        {"count two too large runs into the line end", "S1060000ABCD\n", kReject, {}},
        {"NUL ends the line before a pair", std::string("S1050000AB\0CD\n", 14), kReject, {}},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        // An exactly sized copy, so a sanitizer catches any read past the line.
        std::unique_ptr<char[]> line(new char[c.line.empty() ? 1 : c.line.size()]);
        std::memcpy(line.get(), c.line.data(), c.line.size());
        Bytes frame(kMaxFrameSize, 0xEE);
        FrameResult result = EncodeLine(line.get(), c.line.size(), frame.data());
        frame.resize(result.kind == kFrame ? result.size : 0);
        EXPECT_EQ(result.kind, c.kind);
        EXPECT_EQ(frame, c.frame);
    }
}

}  // namespace
