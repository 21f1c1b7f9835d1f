// The strict check of a firmware file, over the worker's own line reader.
#include <cstdarg>
#include <cstring>

#include "image.h"
#include "conversions.h"

namespace {

void AddProblemV(FirmwareCheck& check, unsigned long line, const char* format, va_list args)
{
    ++check.problems;
    if (check.reported == kMaxReportedProblems) return;
    FirmwareCheck::Problem& problem = check.problem[check.reported++];
    problem.line = line;
    std::vsnprintf(problem.text, sizeof problem.text, format, args);
}

// A problem with the line being checked.
void AddProblem(FirmwareCheck& check, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    AddProblemV(check, check.lines, format, args);
    va_end(args);
}

// A problem with the file as a whole (line 0).
void AddFileProblem(FirmwareCheck& check, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    AddProblemV(check, 0, format, args);
    va_end(args);
}

// Address width in bytes by record type; 0 for the reserved type S4.
int AddressBytes(int type)
{
    static const int widths[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    return widths[type];
}

constexpr char kDosEndOfFile = 0x1A;

bool IsBlank(const char* text, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r' && text[i] != '\n') return false;
    }
    return true;
}

// Adds [first, end) to the merged ranges; reports an overlap with any range
// already there. A record that continues the one before it (the usual case)
// extends that range in place: no allocation, and memory grows with the
// number of gaps, not with the file.
void AddRange(FirmwareCheck& check, unsigned long long first, unsigned long long end)
{
    auto& ranges = check.ranges;
    auto next = ranges.upper_bound(first);
    auto previous = next == ranges.begin() ? ranges.end() : std::prev(next);
    if (previous != ranges.end() && previous->second > first)
        AddProblem(check, "data at 0x%08llX overlaps data of an earlier record", first);
    else if (next != ranges.end() && next->first < end)
        AddProblem(check, "data at 0x%08llX overlaps data of an earlier record", next->first);

    if (previous != ranges.end() && previous->second >= first) {
        if (end > previous->second) previous->second = end;
    } else {
        previous = ranges.emplace_hint(next, first, end);
    }
    // Ranges now touched or covered join this one.
    while (next != ranges.end() && next->first <= previous->second) {
        if (next->second > previous->second) previous->second = next->second;
        next = ranges.erase(next);
    }
}

struct Record {
    int type;
    int byteCount;  // bytes after the count: address, data, checksum
    unsigned char bytes[256];
};

// Parses the record's text strictly. False (with the problem added) when the
// line is not a well-formed record.
bool ParseRecord(FirmwareCheck& check, const char* text, size_t length, Record& record)
{
    size_t end = length;
    if (end > 0 && text[end - 1] == '\n') --end;
    if (end > 0 && text[end - 1] == '\r') --end;
    if (end < 2 || text[0] != 'S' || text[1] < '0' || text[1] > '9') {
        AddProblem(check, "not an S-record");
        return false;
    }
    record.type = text[1] - '0';
    for (size_t i = 2; i < end; ++i) {
        if (HexDigitValue(text[i]) < 0) {
            AddProblem(check, "character %zu is not a hexadecimal digit", i + 1);
            return false;
        }
    }
    if ((end - 2) % 2 != 0) {
        AddProblem(check, "odd number of hexadecimal digits");
        return false;
    }
    if (end < 4) {
        AddProblem(check, "record has no byte count");
        return false;
    }
    int count = HexDigitValue(text[2]) * 16 + HexDigitValue(text[3]);
    int pairs = int((end - 4) / 2);
    if (count != pairs) {
        AddProblem(check, "count says %d bytes, the line holds %d", count, pairs);
        return false;
    }
    record.byteCount = count;
    unsigned sum = unsigned(count);
    for (int i = 0; i < count; ++i) {
        record.bytes[i] = (unsigned char)(HexDigitValue(text[4 + 2 * i]) * 16 + HexDigitValue(text[5 + 2 * i]));
        if (i < count - 1) sum += record.bytes[i];
    }
    if (count == 0) {
        AddProblem(check, "record has no checksum");
        return false;
    }
    // A wrong checksum is a problem, but the record's shape is sound: its
    // data still counts for the summary and the overlap check.
    unsigned expected = ~sum & 0xFF;
    if (record.bytes[count - 1] != expected)
        AddProblem(check, "record checksum is %02X, should be %02X", record.bytes[count - 1], expected);
    return true;
}

unsigned long long AddressOf(const Record& record, int width)
{
    unsigned long long address = 0;
    for (int i = 0; i < width; ++i) address = (address << 8) | record.bytes[i];
    return address;
}

void CheckRecord(FirmwareCheck& check, const Record& record)
{
    int width = AddressBytes(record.type);
    if (width == 0) {
        AddProblem(check, "record type S4 is reserved");
        return;
    }
    if (record.byteCount < width + 1) {
        AddProblem(check, "record too short for its %d-byte address", width);
        return;
    }
    ++check.records[record.type];
    int data = record.byteCount - width - 1;
    unsigned long long address = AddressOf(record, width);
    if (record.type >= 1 && record.type <= 3) {
        check.dataBytes += unsigned(data);
        ++check.dataRecords;
        if (data > 0) AddRange(check, address, address + unsigned(data));
    } else if (record.type == 5 || record.type == 6) {
        if (address != check.dataRecords) {
            AddProblem(check, "S%d count is %llu, %lu data records came before it", record.type, address,
                       check.dataRecords);
        }
    } else if (record.type == 0 && check.lines != 1) {
        AddProblem(check, "S0 header after the first line");
    } else if (data != 0 && record.type >= 7) {
        AddProblem(check, "termination record carries data");
    }
}

// Counts what the worker does with the line: the frames it sends, up to
// the line where it stops.
void ForecastLine(FirmwareCheck& check, const FrameResult& encoded, const uint8_t* frame)
{
    if (check.jobOver) return;
    if (encoded.kind == FrameKind::Frame) {
        ++check.frames;
        check.frameBytes += encoded.size;
        check.frameData += FrameDataLength(frame);
        return;
    }
    check.jobOver = true;
    check.jobLine = check.lines;
    check.jobFailure = encoded.kind == FrameKind::End ? WriteFailure::None : WriteFailure::LineRejected;
}

// A lone ^Z, as DOS tools end a text file, after the termination record.
bool IsEndOfFileMark(const char* text, size_t length)
{
    return length > 0 && text[0] == kDosEndOfFile && IsBlank(text + 1, length - 1);
}

void NoteEndOfFileMark(FirmwareCheck& check)
{
    check.noteLine = check.lines;
    std::snprintf(check.note, sizeof check.note,
                  "a DOS end-of-file mark (^Z) after the termination record; the device never gets it");
}

// A termination record that the ^Z follows on the same line: the record
// is checked without it.
size_t WithoutEndOfFileMark(FirmwareCheck& check, const char* text, size_t length)
{
    size_t end = length;
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
    bool terminates = length >= 2 && text[0] == 'S' && text[1] >= '7' && text[1] <= '9';
    if (!terminates || end == 0 || text[end - 1] != kDosEndOfFile) return length;
    NoteEndOfFileMark(check);
    return end - 1;
}

// One line of `length` characters, as the worker reads it: the strict
// rules, and what the worker would send for it.
void CheckLine(FirmwareCheck& check, const char* text, size_t length)
{
    if (check.terminated) {
        if (IsEndOfFileMark(text, length)) NoteEndOfFileMark(check);
        else if (!IsBlank(text, length)) AddProblem(check, "text after the termination record");
        return;
    }
    uint8_t frame[kMaxFrameSize];
    FrameResult encoded = EncodeLine(text, length, frame);
    ForecastLine(check, encoded, frame);
    if (std::memchr(text, '\0', length)) {
        AddProblem(check, "line holds a NUL character");
    } else {
        Record record;
        if (ParseRecord(check, text, WithoutEndOfFileMark(check, text, length), record)) CheckRecord(check, record);
    }
    if (encoded.kind == FrameKind::End) check.terminated = true;
}

// A line the worker cannot hold stops the job there; the check goes on.
void CheckLongLine(FirmwareCheck& check, size_t length)
{
    if (check.terminated) {
        AddProblem(check, "text after the termination record");
        return;
    }
    AddProblem(check, "line is longer than any S-record (%zu characters)", length);
    if (check.jobOver) return;
    check.jobOver = true;
    check.jobLine = check.lines;
    check.jobFailure = WriteFailure::LineTooLong;
}

}  // namespace

void CheckFirmware(const FirmwareSnapshot& firmware, FirmwareCheck& check)
{
    check = FirmwareCheck();
    LineReader reader;
    StartLineReaderInMemory(reader, firmware.bytes, firmware.size);
    char line[kMaxLineLength];
    for (;;) {
        size_t length = 0;
        LineRead read = ReadLine(reader, line, length);
        if (read == LineRead::Ended) break;
        ++check.lines;
        if (read == LineRead::Line) {
            CheckLine(check, line, length);
            continue;
        }
        PassOverLine(reader, length);
        CheckLongLine(check, length);
    }
    if (!check.jobOver) {
        check.jobLine = check.lines + 1;
        check.jobFailure = WriteFailure::FileEnded;
    }
    if (!check.terminated) {
        AddFileProblem(check, "no termination record (S7, S8 or S9): the job would fail at the end of the file");
    }
}

unsigned long long WireBytes(const FirmwareCheck& check, bool answered)
{
    return 2 * kControlSequenceSize + check.frameBytes + (answered ? check.frames : 0);
}
