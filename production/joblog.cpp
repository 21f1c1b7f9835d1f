// The record of each job, one JSON line per job: what a production line
// keeps of every board it flashed. Under a recipe each line also carries
// `prev`, the SHA-256 of the line before it, so that an edit, a removal or
// a reordering breaks the chain.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "production.h"

namespace {

const char kNoLine[] = "0000000000000000000000000000000000000000000000000000000000000000";

// ISO 8601 in UTC, to the second.
void FormatUtc(std::chrono::system_clock::time_point when, char (&text)[32])
{
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc = {};
    if (const std::tm* broken = std::gmtime(&seconds)) utc = *broken;  // the main thread alone logs
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
}

void Field(std::string& line, const char* key, const char* text)
{
    line += ",\"";
    line += key;
    line += "\":";
    AppendJsonString(line, text);
}

void Number(std::string& line, const char* key, unsigned long long number)
{
    char text[64];
    std::snprintf(text, sizeof text, ",\"%s\":%llu", key, number);
    line += text;
}

// The fields every line of a recipe's log has after a job's own.
void RecipeFields(const JobLog& log, std::string& line, const BoardRecord& board)
{
    Field(line, "recipe", log.recipe->name.c_str());
    Field(line, "recipe_sha256", log.recipe->sha256);
    Field(line, "version", log.version);
    Field(line, "slot", board.slot);
    Number(line, "attempt", board.attempt);
    if (board.hasSerial) Number(line, "board_serial", board.serial);
    else line += ",\"board_serial\":null";
    Field(line, "serial_state", board.hasSerial ? SerialOutcomeName(board.serialState) : "");
    line += ",\"trace\":{";
    for (const TraceField& field : log.recipe->trace) {
        if (line.back() != '{') line += ',';
        AppendJsonString(line, field.key.c_str());
        line += ':';
        AppendJsonString(line, field.value.c_str());
    }
    line += "}}";
}

// The line, whole, in one write; the chain moves on only once it is out.
bool WriteLine(JobLog& log, std::string& line, Failure& failure)
{
    if (log.recipe) Sha256Hex(line.data(), line.size(), log.prev);
    line += '\n';
    errno = 0;
    bool wrote = std::fwrite(line.data(), 1, line.size(), log.file) == line.size();
    if (wrote && std::fflush(log.file) == 0 && !std::ferror(log.file) && !FileWasRemoved(log.file)) return true;
    return Fail(failure, "cannot write the log %s: %s", log.path, errno ? std::strerror(errno) : "the file was removed");
}

// The line's opening: the chain's link first, then when and where.
std::string BeginLine(const JobLog& log, std::chrono::system_clock::time_point startedAt,
                      std::chrono::system_clock::time_point endedAt)
{
    char started[32], ended[32];
    FormatUtc(startedAt, started);
    FormatUtc(endedAt, ended);
    std::string line = "{";
    if (log.recipe) line += "\"prev\":\"" + std::string(log.prev) + "\",";
    line += "\"started\":\"" + std::string(started) + "\",\"ended\":\"" + ended + "\"";
    Field(line, "host", log.host);
    return line;
}

// The text of `key`'s value in a line the log wrote: a string's escaped
// characters, or a number or null as written. False if the line has none.
bool FindValue(const std::string& line, const char* key, std::string& value)
{
    std::string wanted = "\"" + std::string(key) + "\":";
    size_t at = line.find(wanted);
    if (at == std::string::npos) return false;
    at += wanted.size();
    if (line[at] != '"') {
        value = line.substr(at, line.find_first_of(",}", at) - at);
        return true;
    }
    size_t end = ++at;
    while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
    value = line.substr(at, end - at);
    return end < line.size();
}

}  // namespace

bool OpenJobLog(JobLog& log, const char* path, const char* firmwareName, const FirmwareSnapshot& firmware,
                Failure& failure)
{
    log.file = nullptr;
    log.path = path;
    log.firmwareName = firmwareName;
    log.fileSha256 = firmware.fileSha256;
    log.recipe = nullptr;
    log.version = "";
    std::memcpy(log.prev, kNoLine, sizeof log.prev);
    if (!path) return true;
    HostName(log.host, sizeof log.host);
    DigestOfSentBytes(firmware, log.sentSha256);
    // O_APPEND: lines of several writers never mix. Binary: a line ends with
    // LF alone on every system, so that the lines and any digest over them
    // are the same everywhere.
    log.file = OpenNamedFile(path, "ab");
    if (log.file) return true;
    return Fail(failure, "cannot open the log %s: %s", path, std::strerror(errno));
}

bool OpenRecipeLog(JobLog& log, const char* path, const Recipe& recipe, const char* version,
                   const FirmwareSnapshot& firmware, Failure& failure)
{
    if (!OpenJobLog(log, path, recipe.imageFile.c_str(), firmware, failure)) return false;
    log.recipe = &recipe;
    if (!log.file) return true;
    log.version = version;
    FirmwareSnapshot text;
    if (!TakeSnapshot(log.path, text, failure)) {
        CloseJobLog(log);
        return false;
    }
    size_t end = text.size;
    bool ended = end == 0 || text.bytes[end - 1] == '\n';
    if (end && ended) --end;
    size_t start = end;
    while (start > 0 && text.bytes[start - 1] != '\n') --start;
    if (text.size) Sha256Hex(text.bytes + start, end - start, log.prev);
    ReleaseSnapshot(text);
    // A line a crash cut short stays as it is, and the next one starts on a
    // line of its own: the chain shows the cut.
    if (!ended && (std::fputc('\n', log.file) == EOF || std::fflush(log.file) != 0)) {
        CloseJobLog(log);
        return Fail(failure, "cannot write the log %s: %s", path, std::strerror(errno));
    }
    return true;
}

bool LogJob(JobLog& log, const PortJob& job, Failure& failure, const BoardRecord* board)
{
    if (!log.file) return true;
    std::string line = BeginLine(log, job.startedAt, job.endedAt);
    Field(line, "port", job.name);
    Field(line, "serial", job.serialNumber);
    Field(line, "file", log.firmwareName);
    Field(line, "sha256", log.fileSha256);
    Field(line, "sent_sha256", board ? board->sentSha256 : log.sentSha256);
    Number(line, "frames", job.job.frames);
    char dataBytes[40];
    std::snprintf(dataBytes, sizeof dataBytes, ",\"data_bytes\":%lld", job.sent.load());
    line += dataBytes;
    Field(line, "result", ResultName(job.exitStatus));
    Field(line, "reason", job.reason);
    char status[24];
    std::snprintf(status, sizeof status, ",\"exit\":%d", job.exitStatus);
    line += status;
    if (log.recipe && board) RecipeFields(log, line, *board);
    else line += "}";
    return WriteLine(log, line, failure);
}

bool LogUnknownSerial(JobLog& log, unsigned long long serial, Failure& failure)
{
    auto now = std::chrono::system_clock::now();
    std::string line = BeginLine(log, now, now);
    Field(line, "port", "");
    Field(line, "serial", "");
    Field(line, "file", log.firmwareName);
    Field(line, "sha256", log.fileSha256);
    Field(line, "sent_sha256", "");
    line += ",\"frames\":0,\"data_bytes\":0";
    Field(line, "result", "unknown");
    Field(line, "reason", "the station stopped while the board with this number was being written");
    line += ",\"exit\":1";
    BoardRecord board = {"", 0, true, serial, SerialOutcome::Unknown, ""};
    RecipeFields(log, line, board);
    return WriteLine(log, line, failure);
}


bool JobLogIsWritable(JobLog& log, Failure& failure)
{
    if (!log.file) return true;
    errno = 0;
    if (std::fflush(log.file) == 0 && !std::ferror(log.file) && !FileWasRemoved(log.file)) return true;
    return Fail(failure, "cannot write the log %s: %s", log.path, errno ? std::strerror(errno) : "the file was removed");
}

void CloseJobLog(JobLog& log)
{
    if (log.file) std::fclose(log.file);
    log.file = nullptr;
}

unsigned long FirstBrokenLine(const char* text, size_t size, Failure& failure)
{
    char prev[65];
    std::memcpy(prev, kNoLine, sizeof prev);
    unsigned long number = 1;
    for (size_t start = 0; start < size; ++number) {
        const char* lineFeed = static_cast<const char*>(std::memchr(text + start, '\n', size - start));
        size_t end = lineFeed ? size_t(lineFeed - text) : size;
        std::string line(text + start, end - start), link;
        if (!FindValue(line, "prev", link) || line.compare(0, 9, "{\"prev\":\"") != 0) {
            Fail(failure, "line %lu has no prev (it should be %s)", number, prev);
            return number;
        }
        if (link != prev) {
            Fail(failure, "line %lu: prev is %s, but the line before it hashes to %s", number, link.c_str(), prev);
            return number;
        }
        if (!lineFeed) {
            Fail(failure, "line %lu was cut short (no line feed)", number);
            return number;
        }
        Sha256Hex(line.data(), line.size(), prev);
        start = end + 1;
    }
    return 0;
}

void SummarizeLog(const char* text, size_t size, std::vector<LogSummary>& summaries)
{
    summaries.clear();
    std::string all(text, size);
    for (size_t start = 0; start < all.size();) {
        size_t end = std::min(all.find('\n', start), all.size());
        std::string line = all.substr(start, end - start), recipe, result, serial, state;
        start = end + 1;
        if (!FindValue(line, "recipe", recipe) || !FindValue(line, "result", result)) continue;
        auto found = std::find_if(summaries.begin(), summaries.end(),
                                  [&](const LogSummary& summary) { return summary.recipe == recipe; });
        if (found == summaries.end()) found = summaries.insert(summaries.end(), LogSummary{recipe, 0, 0, {}, {}, {}});
        if (result == "written") ++found->written;
        else if (result != "unknown") ++found->failed;
        if (!FindValue(line, "board_serial", serial) || serial == "null" || !FindValue(line, "serial_state", state))
            continue;
        unsigned long long number = std::strtoull(serial.c_str(), nullptr, 10);
        if (state == "written") found->serialsWritten.push_back(number);
        if (state == "spent") found->serialsSpent.push_back(number);
        if (state == "unknown") found->serialsUnknown.push_back(number);
    }
    // A number spent by a failed attempt and then written by a retry of the
    // same board went to that board: written, not spent.
    for (LogSummary& summary : summaries) {
        std::vector<unsigned long long>& spent = summary.serialsSpent;
        const std::vector<unsigned long long>& written = summary.serialsWritten;
        spent.erase(std::remove_if(spent.begin(), spent.end(),
                                   [&](unsigned long long number) {
                                       return std::find(written.begin(), written.end(), number) != written.end();
                                   }),
                    spent.end());
    }
}
