// Serial numbers: the bytes a number becomes, the board's image that holds
// them, and the state file that hands each number out exactly once.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "recipe.h"

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

// The value of the two hexadecimal digits at `text`; -1 if they are not.
int HexPair(const char* text)
{
    int high = HexDigitValue(text[0]), low = HexDigitValue(text[1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

void PutHexPair(char* text, unsigned value)
{
    text[0] = kHexDigits[(value >> 4) & 15];
    text[1] = kHexDigits[value & 15];
}

// Patches the record in line[0, length) where it holds bytes of the
// number; returns how many it changed. The checksum is made again, so the
// strict check still takes the board's image.
unsigned PatchRecord(char* line, size_t length, const SerialScheme& scheme, const uint8_t* number)
{
    if (length < 4 || line[0] != 'S' || line[1] < '1' || line[1] > '3') return 0;
    unsigned addressBytes = unsigned(line[1] - '0') + 1;
    int count = HexPair(line + 2);
    if (count < int(addressBytes) + 1 || length < 4 + 2 * size_t(count)) return 0;
    unsigned long long address = 0;
    for (unsigned i = 0; i < addressBytes; ++i) {
        int byte = HexPair(line + 4 + 2 * i);
        if (byte < 0) return 0;
        address = address << 8 | unsigned(byte);
    }
    unsigned changed = 0;
    unsigned dataBytes = unsigned(count) - addressBytes - 1;
    for (unsigned i = 0; i < dataBytes; ++i) {
        unsigned long long at = address + i;
        if (at < scheme.address || at >= scheme.address + scheme.width) continue;
        PutHexPair(line + 4 + 2 * (addressBytes + i), number[at - scheme.address]);
        ++changed;
    }
    if (!changed) return 0;
    unsigned sum = 0;
    for (int i = 0; i < count; ++i) sum += unsigned(HexPair(line + 2 + 2 * i));
    PutHexPair(line + 2 + 2 * count, ~sum & 0xFF);
    return changed;
}

bool ReadNumber(const char*& text, unsigned long long& number)
{
    char* end = nullptr;
    if (*text < '0' || *text > '9') return false;
    errno = 0;
    number = std::strtoull(text, &end, 10);
    text = end;
    return errno == 0;
}

}  // namespace

bool FormatSerial(const SerialScheme& scheme, unsigned long long number, uint8_t (&bytes)[kMaxSerialWidth],
                  Failure& failure)
{
    std::memset(bytes, 0, sizeof bytes);
    unsigned long long rest = number;
    unsigned base = scheme.format == SerialFormat::Decimal ? 10 : scheme.format == SerialFormat::Hex ? 16 : 256;
    // From the least significant digit (or byte) up.
    for (unsigned i = 0; i < scheme.width; ++i) {
        unsigned digit = unsigned(rest % base);
        rest /= base;
        unsigned at = scheme.format == SerialFormat::LittleEndian ? i : scheme.width - 1 - i;
        bytes[at] = uint8_t(base == 256 ? digit : kHexDigits[digit]);
    }
    if (rest == 0) return true;
    return Fail(failure, "the serial number %llu does not fit in %u bytes", number, scheme.width);
}

bool PatchSerial(const FirmwareSnapshot& firmware, const SerialScheme& scheme, unsigned long long number,
                 BoardImage& board, Failure& failure)
{
    uint8_t bytes[kMaxSerialWidth];
    if (!FormatSerial(scheme, number, bytes, failure)) return false;
    board.bytes.assign(firmware.bytes, firmware.size);
    board.firstLine = 0;
    unsigned changed = 0;
    char* text = &board.bytes[0];
    size_t size = board.bytes.size(), start = 0;
    // The lines the worker reads, up to the termination record (S7-S9):
    // data after it is never sent.
    for (unsigned long line = 1; start < size; ++line) {
        const char* lineFeed = static_cast<const char*>(std::memchr(text + start, '\n', size - start));
        size_t end = lineFeed ? size_t(lineFeed - text) : size;
        char* record = text + start;
        if (end - start >= 2 && record[0] == 'S' && record[1] >= '7' && record[1] <= '9') break;
        unsigned here = PatchRecord(record, end - start, scheme, bytes);
        if (here && !board.firstLine) board.firstLine = line;
        changed += here;
        start = end + 1;
    }
    if (changed == scheme.width) return true;
    return Fail(failure, "only %u of the %u bytes at 0x%08lX are in records a job sends", changed, scheme.width,
                (unsigned long)scheme.address);
}

FirmwareSnapshot SnapshotOfBoard(const BoardImage& board)
{
    FirmwareSnapshot snapshot = {};
    snapshot.bytes = const_cast<char*>(board.bytes.data());  // read-only for the jobs
    snapshot.size = board.bytes.size();
    snapshot.converted = true;
    return snapshot;
}

const char* SerialOutcomeName(SerialOutcome outcome)
{
    static const char* const kNames[] = {"written", "returned", "spent", "unknown"};
    return kNames[int(outcome)];
}

SerialOutcome OutcomeOfJob(bool written, unsigned long linesRead, unsigned long firstLine)
{
    if (written) return SerialOutcome::Written;
    // The worker may have begun sending the line it last read: only a job
    // that never read the number's first line is sure not to have sent it.
    return linesRead < firstLine ? SerialOutcome::Returned : SerialOutcome::Spent;
}

SerialState NewSerialState(const Recipe& recipe)
{
    SerialState state;
    state.recipeName = recipe.name;
    state.first = recipe.serial.first;
    state.last = recipe.serial.last;
    state.next = state.first;
    state.written = 0;
    return state;
}

bool HandOutSerial(SerialState& state, unsigned long long& number)
{
    if (!state.returned.empty()) {
        auto lowest = std::min_element(state.returned.begin(), state.returned.end());
        number = *lowest;
        state.returned.erase(lowest);
    } else {
        // `next` passes `last` once the block is used up; never wraps.
        if (state.next > state.last || state.next < state.first) return false;
        number = state.next++;
    }
    state.out.push_back(number);
    return true;
}

void SettleSerial(SerialState& state, unsigned long long number, SerialOutcome outcome)
{
    auto out = std::find(state.out.begin(), state.out.end(), number);
    if (out == state.out.end()) return;  // settled already: never twice
    state.out.erase(out);
    if (outcome == SerialOutcome::Returned) state.returned.push_back(number);
    if (outcome == SerialOutcome::Written) ++state.written;
}

std::string SerialStateText(const SerialState& state)
{
    char line[96];
    std::string text = "quorvane serial state 1\nrecipe " + state.recipeName + "\n";
    std::snprintf(line, sizeof line, "block %llu %llu\nnext %llu\nwritten %lu\n", state.first, state.last, state.next,
                  state.written);
    text += line;
    for (int list = 0; list < 2; ++list) {
        text += list ? "returned" : "out";
        for (unsigned long long number : list ? state.returned : state.out) {
            std::snprintf(line, sizeof line, " %llu", number);
            text += line;
        }
        text += "\n";
    }
    return text;
}

bool ParseSerialState(const char* text, size_t size, const Recipe& recipe, SerialState& state, Failure& failure)
{
    const char* path = recipe.serial.statePath.c_str();
    std::string all(text, size);
    state = NewSerialState(recipe);
    static const char* const kLines[] = {"quorvane serial state 1", "recipe ", "block ", "next ", "written ", "out",
                                         "returned"};
    size_t start = 0;
    std::string name;
    unsigned long long first = 0, last = 0, written = 0;
    for (int n = 0; n < 7; ++n) {
        size_t end = all.find('\n', start);
        size_t prefix = std::strlen(kLines[n]);
        if (end == std::string::npos || all.compare(start, prefix, kLines[n]) != 0)
            return Fail(failure, "the state file %s is corrupt at line %d (it should begin \"%s\"); nothing was sent",
                        path, n + 1, kLines[n]);
        std::string rest = all.substr(start + prefix, end - start - prefix);
        start = end + 1;
        const char* at = rest.c_str();
        bool ok = true;
        if (n == 1) name = rest;
        if (n == 2) ok = ReadNumber(at, first) && *at++ == ' ' && ReadNumber(at, last);
        if (n == 3) ok = ReadNumber(at, state.next);
        if (n == 4) ok = ReadNumber(at, written);
        std::vector<unsigned long long>& list = n == 5 ? state.out : state.returned;
        for (unsigned long long number; n >= 5 && ok && *at;)
            ok = *at++ == ' ' && ReadNumber(at, number) && number >= state.first && number < state.next &&
                 (list.push_back(number), true);
        if (!ok || (n > 1 && *at))
            return Fail(failure, "the state file %s is corrupt at line %d; nothing was sent", path, n + 1);
        if (n == 2 && name != recipe.name)
            return Fail(failure, "the state file %s belongs to the recipe \"%s\", not \"%s\"; nothing was sent", path,
                        name.c_str(), recipe.name.c_str());
        if (n == 2 && (first != recipe.serial.first || last != recipe.serial.last))
            return Fail(failure, "the state file %s is for the block %llu..%llu, not %llu..%llu; nothing was sent",
                        path, first, last, recipe.serial.first, recipe.serial.last);
    }
    state.written = (unsigned long)written;
    if (state.next < first || state.next > last + 1)
        return Fail(failure, "the state file %s is corrupt at line 4: next is outside its block", path);
    return true;
}

bool LogShowsSerials(const char* text, size_t size, const std::string& name)
{
    // The log's own lines: "recipe" before "board_serial", as LogJob writes them.
    std::string all(text, size), wanted = "\"recipe\":\"" + name + "\"";
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(start, end - start);
        size_t recipe = line.find(wanted), serial = line.find("\"board_serial\":");
        if (recipe != std::string::npos && serial != std::string::npos && line.compare(serial + 15, 4, "null") != 0)
            return true;
        start = end + 1;
    }
    return false;
}

bool ReadSerialState(const Recipe& recipe, SerialState& state, bool& fresh, Failure& failure)
{
    const char* path = recipe.serial.statePath.c_str();
    FILE* file = std::fopen(path, "rb");
    fresh = !file;
    if (!file && errno != ENOENT)
        return Fail(failure, "cannot open the state file %s: %s; nothing was sent", path, std::strerror(errno));
    if (file) {
        std::fclose(file);
        FirmwareSnapshot text;
        if (!TakeSnapshot(path, text, failure)) return false;
        bool parsed = ParseSerialState(text.bytes, text.size, recipe, state, failure);
        ReleaseSnapshot(text);
        return parsed;
    }
    // The first run creates it; a state gone missing is never started again from `first`.
    FirmwareSnapshot log;
    if (TakeSnapshot(recipe.log.c_str(), log, failure)) {
        bool shows = LogShowsSerials(log.bytes, log.size, recipe.name);
        ReleaseSnapshot(log);
        if (shows)
            return Fail(failure, "the state file %s is missing, but the log %s shows serial numbers handed out under "
                        "the recipe \"%s\": put the state file back; nothing was sent", path, recipe.log.c_str(),
                        recipe.name.c_str());
    }
    state = NewSerialState(recipe);
    return true;
}

bool OpenSerialState(const Recipe& recipe, SerialState& state, std::vector<unsigned long long>& unknown,
                     Failure& failure)
{
    unknown.clear();
    bool fresh = false;
    if (!ReadSerialState(recipe, state, fresh, failure)) return false;
    unknown.swap(state.out);
    return !fresh || SaveSerialState(recipe, state, failure);
}

bool SaveSerialState(const Recipe& recipe, const SerialState& state, Failure& failure)
{
    return ReplaceFileDurably(recipe.serial.statePath.c_str(), SerialStateText(state), failure);
}
