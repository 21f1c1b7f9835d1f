// Image formats in memory: detection, and Intel HEX or raw binary to S-records.
#include "image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "conversions.h"

namespace {

// srec_cat keeps its data in blocks of this many bytes and never lets a
// record cross from one block into the next.
constexpr uint64_t kSrecCatBlockSize = 1792;
constexpr uint64_t kAddressSpace = uint64_t(1) << 32;
constexpr size_t kMaxHeaderSize = 252;  // an S0 record's count byte also holds a 2-byte address and the checksum

bool IsLineSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Data from consecutive records that continue one another, in file order.
struct Piece {
    uint32_t address;
    size_t size;
    size_t offset;  // of its first byte among the decoded data
    size_t firstLine, lastLine;
};

uint64_t EndOf(const Piece& piece) { return uint64_t(piece.address) + piece.size; }

// Characters of one record line: "S", its type, then pairs of hexadecimal
// digits for the count, the address, the data and the checksum.
size_t RecordLineSize(int addressBytes, size_t dataSize) { return 5 + 2 * (size_t(addressBytes) + dataSize + 1); }

void PutHexByte(char*& out, unsigned byte)
{
    static const char digits[] = "0123456789ABCDEF";
    *out++ = digits[(byte >> 4) & 0xF];
    *out++ = digits[byte & 0xF];
}

void AppendRecord(std::string& text, char type, uint32_t address, int addressBytes, const uint8_t* data,
                  size_t size)
{
    char line[2 + 2 * 256 + 1];  // type, count and up to 255 more bytes in hexadecimal, line end
    char* out = line;
    unsigned count = unsigned(size_t(addressBytes) + size + 1);
    unsigned sum = count;
    *out++ = 'S';
    *out++ = type;
    PutHexByte(out, count);
    for (int shift = 8 * (addressBytes - 1); shift >= 0; shift -= 8) {
        sum += (address >> shift) & 0xFF;
        PutHexByte(out, (address >> shift) & 0xFF);
    }
    for (size_t i = 0; i < size; ++i) {
        sum += data[i];
        PutHexByte(out, data[i]);
    }
    PutHexByte(out, ~sum & 0xFF);
    *out++ = '\n';
    text.append(line, size_t(out - line));
}

// Cuts data into S3 records; with no text, only counts what it would write.
struct RecordWriter {
    std::string* text;
    size_t recordSize;
    uint64_t address;  // of the pending record
    size_t pending;
    uint8_t bytes[kMaxRecordSize];
    size_t records;
    size_t dataBytes;
};

void FlushRecord(RecordWriter& writer)
{
    if (writer.pending == 0) return;
    if (writer.text) AppendRecord(*writer.text, '3', uint32_t(writer.address), 4, writer.bytes, writer.pending);
    ++writer.records;
    writer.dataBytes += writer.pending;
    writer.pending = 0;
}

void AddToRecords(RecordWriter& writer, uint64_t address, const uint8_t* data, size_t size)
{
    while (size > 0) {
        if (writer.pending > 0 && writer.address + writer.pending != address) FlushRecord(writer);
        if (writer.pending == 0) writer.address = address;
        size_t take = std::min(size, writer.recordSize - writer.pending);
        take = size_t(std::min(uint64_t(take), kSrecCatBlockSize - address % kSrecCatBlockSize));
        if (writer.text) std::memcpy(writer.bytes + writer.pending, data, take);
        writer.pending += take;
        address += take;
        data += take;
        size -= take;
        if (writer.pending == writer.recordSize || address % kSrecCatBlockSize == 0) FlushRecord(writer);
    }
}

void AddPieces(RecordWriter& writer, const std::vector<Piece>& pieces, const uint8_t* data)
{
    for (const Piece& piece : pieces) AddToRecords(writer, piece.address, data + piece.offset, piece.size);
    FlushRecord(writer);
}

bool TooMuchText(const ConversionOptions& options, Failure& failure)
{
    return Fail(failure, "the S-record text would take more than the %zu bytes allowed",
                options.maxTextSize);
}

bool CheckRecordSize(const ConversionOptions& options, Failure& failure)
{
    if (options.recordSize >= 1 && options.recordSize <= kMaxRecordSize) return true;
    return Fail(failure, "record size %u is out of range: an S3 record holds 1 to %u data bytes",
                options.recordSize, kMaxRecordSize);
}

// `pieces` sorted by address and apart from one another.
bool WriteSRecords(const std::vector<Piece>& pieces, const uint8_t* data, uint32_t start,
                   const ConversionOptions& options, std::string& text, Failure& failure)
{
    RecordWriter counter = {};
    counter.recordSize = options.recordSize;
    AddPieces(counter, pieces, data);
    int countAddressBytes = counter.records <= 0xFFFF ? 2 : counter.records <= 0xFFFFFF ? 3 : 0;

    const char* header = options.header ? options.header : "";
    size_t headerSize = std::min(std::strlen(header), kMaxHeaderSize);
    // Checked in parts, so that no sum can wrap around.
    size_t fixed = RecordLineSize(2, headerSize) + RecordLineSize(4, 0) +
                   (countAddressBytes ? RecordLineSize(countAddressBytes, 0) : 0);
    size_t perRecord = RecordLineSize(4, 0);
    if (counter.dataBytes > options.maxTextSize / 2 ||
        counter.records > (options.maxTextSize - 2 * counter.dataBytes) / perRecord ||
        fixed > options.maxTextSize - 2 * counter.dataBytes - perRecord * counter.records)
        return TooMuchText(options, failure);

    text.reserve(fixed + 2 * counter.dataBytes + perRecord * counter.records);
    AppendRecord(text, '0', 0, 2, reinterpret_cast<const uint8_t*>(header), headerSize);
    RecordWriter writer = {};
    writer.text = &text;
    writer.recordSize = options.recordSize;
    AddPieces(writer, pieces, data);
    if (countAddressBytes)
        AppendRecord(text, countAddressBytes == 2 ? '5' : '6', uint32_t(writer.records), countAddressBytes,
                     nullptr, 0);
    AppendRecord(text, '7', start, 4, nullptr, 0);
    return true;
}

// "line 7" or "lines 7-9".
void DescribeLines(const Piece& piece, char (&out)[48])
{
    if (piece.firstLine == piece.lastLine)
        std::snprintf(out, sizeof out, "line %zu", piece.firstLine);
    else
        std::snprintf(out, sizeof out, "lines %zu-%zu", piece.firstLine, piece.lastLine);
}

struct HexImage {
    std::vector<uint8_t> data;  // of every data record, in file order
    std::vector<Piece> pieces;
    uint32_t base = 0;          // from the last 02 or 04 record
    bool segmented = false;     // the last of them was 02
    uint32_t start = 0;
    size_t startLine = 0;       // 0: no start address record yet
    size_t endLine = 0;         // 0: no end record yet
};

bool AddSpan(HexImage& image, uint32_t address, const uint8_t* bytes, size_t size, size_t line,
             const ConversionOptions& options, Failure& failure)
{
    image.data.insert(image.data.end(), bytes, bytes + size);
    if (!image.pieces.empty() && EndOf(image.pieces.back()) == address) {
        image.pieces.back().size += size;
        image.pieces.back().lastLine = line;
        return true;
    }
    image.pieces.push_back({address, size, image.data.size() - size, line, line});
    // Every piece takes at least one record: stop before the pieces outgrow the text.
    if (image.pieces.size() > options.maxTextSize / RecordLineSize(4, 0)) return TooMuchText(options, failure);
    return true;
}

bool AddData(HexImage& image, uint32_t offset, const uint8_t* bytes, size_t size, size_t line,
             const ConversionOptions& options, Failure& failure)
{
    // After a 02 record the offset wraps within the segment, after a 04
    // record the address wraps within 4 GiB.
    uint32_t address = image.segmented ? image.base + offset : uint32_t(image.base + offset);
    uint64_t room = image.segmented ? 0x10000 - offset : kAddressSpace - address;
    uint32_t wrapsTo = image.segmented ? image.base : 0;
    size_t first = size_t(std::min(uint64_t(size), room));
    if (!AddSpan(image, address, bytes, first, line, options, failure)) return false;
    return first == size || AddSpan(image, wrapsTo, bytes + first, size - first, line, options, failure);
}

// One line (line end and trailing blanks taken off), not blank.
bool TakeHexRecord(HexImage& image, const char* text, size_t length, size_t line, const ConversionOptions& options,
                   Failure& failure)
{
    if (text[0] != ':') return Fail(failure, "line %zu: not an Intel HEX record (no ':' at its start)", line);
    for (size_t i = 1; i < length; ++i) {
        if (HexDigitValue(text[i]) < 0)
            return Fail(failure, "line %zu: character %zu is not a hexadecimal digit", line, i + 1);
    }
    size_t digits = length - 1;
    if (digits % 2 != 0) return Fail(failure, "line %zu: odd number of hexadecimal digits", line);
    if (digits < 10) return Fail(failure, "line %zu: too short for a record", line);
    uint8_t bytes[5 + 255];
    size_t byteCount = std::min(digits / 2, sizeof bytes);
    unsigned sum = 0;
    for (size_t i = 0; i < byteCount; ++i) {
        bytes[i] = uint8_t(HexDigitValue(text[1 + 2 * i]) * 16 + HexDigitValue(text[2 + 2 * i]));
        if (i + 1 < byteCount) sum += bytes[i];
    }
    unsigned count = bytes[0];
    if (digits / 2 != count + 5)
        return Fail(failure, "line %zu: count says %u data bytes, the line holds %zu", line, count,
                    digits / 2 - 5);
    unsigned checksum = bytes[count + 4];
    unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
    if (checksum != expected)
        return Fail(failure, "line %zu: checksum is %02X, should be %02X", line, checksum, expected);
    if (image.endLine)
        return Fail(failure, "line %zu: a record after the end record of line %zu", line, image.endLine);

    unsigned type = bytes[3];
    uint32_t offset = uint32_t(bytes[1]) << 8 | bytes[2];
    const uint8_t* payload = bytes + 4;
    // An empty data record says nothing, as srec_cat takes it too.
    if (type == 0x00) return count == 0 || AddData(image, offset, payload, count, line, options, failure);
    static const unsigned payloadSizes[] = {0, 0, 2, 4, 2, 4};
    if (type >= sizeof payloadSizes / sizeof payloadSizes[0])
        return Fail(failure, "line %zu: unknown record type %02X", line, type);
    if (count != payloadSizes[type])
        return Fail(failure, "line %zu: a type %02X record holds %u bytes, not %u", line, type,
                    payloadSizes[type], count);
    if (offset != 0)
        return Fail(failure, "line %zu: the address field of a type %02X record must be 0000", line, type);
    uint32_t high = uint32_t(payload[0]) << 8 | payload[1];
    uint32_t low = count == 4 ? uint32_t(payload[2]) << 8 | payload[3] : 0;
    switch (type) {
    case 0x01: image.endLine = line; break;
    case 0x02: image.base = high << 4; image.segmented = true; break;
    case 0x04: image.base = high << 16; image.segmented = false; break;
    default:  // 03 or 05
        if (image.startLine)
            return Fail(failure, "line %zu: a second start address (the first is on line %zu)", line,
                        image.startLine);
        image.start = type == 0x05 ? high << 16 | low : (high << 4) + low;
        image.startLine = line;
    }
    return true;
}

bool ParseIntelHex(HexImage& image, const char* text, size_t size, const ConversionOptions& options, Failure& failure)
{
    image.data.reserve(size / 2);
    size_t line = 0;
    for (size_t at = 0; at < size;) {
        const char* lineEnd = static_cast<const char*>(std::memchr(text + at, '\n', size - at));
        size_t next = lineEnd ? size_t(lineEnd - text) + 1 : size;
        size_t length = (lineEnd ? size_t(lineEnd - text) : size) - at;
        ++line;
        while (length > 0 && IsLineSpace(text[at + length - 1])) --length;
        if (length > 0 && !TakeHexRecord(image, text + at, length, line, options, failure)) return false;
        at = next;
    }
    if (!image.endLine)
        return Fail(failure, "no end record (type 01) by the end of the file (line %zu): it may be cut short",
                    line);
    if (image.pieces.empty()) return Fail(failure, "no data: the file holds no data records");

    auto byAddress = [](const Piece& a, const Piece& b) { return a.address < b.address; };
    if (!std::is_sorted(image.pieces.begin(), image.pieces.end(), byAddress))
        std::stable_sort(image.pieces.begin(), image.pieces.end(), byAddress);
    for (size_t i = 1; i < image.pieces.size(); ++i) {
        const Piece& lower = image.pieces[i - 1];
        const Piece& upper = image.pieces[i];
        if (EndOf(lower) <= upper.address) continue;
        bool upperIsLater = upper.firstLine > lower.firstLine;
        char later[48], earlier[48];
        DescribeLines(upperIsLater ? upper : lower, later);
        DescribeLines(upperIsLater ? lower : upper, earlier);
        return Fail(failure, "%s: data at 0x%08X overlaps data of %s", later, unsigned(upper.address),
                    earlier);
    }
    return true;
}

}  // namespace

bool ConvertIntelHex(const char* hexText, size_t size, const ConversionOptions& options, std::string& text,
                     Failure& failure)
{
    text.clear();
    if (!CheckRecordSize(options, failure)) return false;
    HexImage image;
    if (!ParseIntelHex(image, hexText, size, options, failure)) return false;
    return WriteSRecords(image.pieces, image.data.data(), image.start, options, text, failure);
}

bool ConvertBinary(const char* bytes, size_t size, const ConversionOptions& options, std::string& text,
                   Failure& failure)
{
    const uint32_t base = options.base;
    text.clear();
    if (!CheckRecordSize(options, failure)) return false;
    if (size == 0) return Fail(failure, "no data: the binary image is empty");
    if (uint64_t(size) > kAddressSpace - base)
        return Fail(failure, "%zu bytes loaded at 0x%08X run past the end of the 32-bit address space",
                    size, unsigned(base));
    std::vector<Piece> whole = {{base, size, 0, 0, 0}};
    return WriteSRecords(whole, reinterpret_cast<const uint8_t*>(bytes), 0, options, text, failure);
}

namespace {

bool IsElf(const char* bytes, size_t size) { return size >= 4 && std::memcmp(bytes, "\x7F" "ELF", 4) == 0; }

// The first two characters of the first line that is not blank, or "".
void FirstCharacters(const char* bytes, size_t size, char (&first)[3])
{
    size_t at = 0, blank = 0;
    for (; blank < size && (IsLineSpace(bytes[blank]) || bytes[blank] == '\n'); ++blank) {
        if (bytes[blank] == '\n') at = blank + 1;
    }
    first[0] = first[1] = first[2] = '\0';
    if (blank == size || size - at < 2) return;
    first[0] = bytes[at];
    first[1] = bytes[at + 1];
}

bool StartsWithSRecord(const char* bytes, size_t size)
{
    char first[3];
    FirstCharacters(bytes, size, first);
    return first[0] == 'S' && first[1] >= '0' && first[1] <= '9';
}

bool StartsWithHexRecord(const char* bytes, size_t size)
{
    char first[3];
    FirstCharacters(bytes, size, first);
    return first[0] == ':' && HexDigitValue(first[1]) >= 0;
}

bool Anything(const char*, size_t) { return true; }

}  // namespace

// In the order they are tried: ELF's magic first, since its bytes may
// hold anything after it; Unknown last, for everything else.
const ImageFormatRow kImageFormats[4] = {
    {ImageFormat::Elf, IsElf, nullptr,
     "an ELF file: convert it with objcopy -O srec, or give the raw binary with --base ADDRESS"},
    {ImageFormat::SRecord, StartsWithSRecord, nullptr, "an S-record image: it needs no conversion"},
    {ImageFormat::IntelHex, StartsWithHexRecord, ConvertIntelHex,
     "an Intel HEX file: convert it with quorvane-cli convert FILE -o FILE.mot"},
    {ImageFormat::Unknown, Anything, ConvertBinary,
     "not S-records, Intel HEX or ELF: if it is a raw binary image, give its load address with --base ADDRESS"},
};

const ImageFormatRow& DetectImageFormat(const char* bytes, size_t size)
{
    for (const ImageFormatRow& row : kImageFormats)
        if (row.detect(bytes, size)) return row;
    return ImageFormatOf(ImageFormat::Unknown);
}

const ImageFormatRow& ImageFormatOf(ImageFormat kind)
{
    for (const ImageFormatRow& row : kImageFormats)
        if (row.kind == kind) return row;
    return kImageFormats[3];
}
