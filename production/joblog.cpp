// The record of each job, one JSON line per job: what a production line
// keeps of every board it flashed.
#include <cerrno>
#include <cstring>
#include <ctime>

#include "production.h"

namespace {

// ISO 8601 in UTC, to the second.
void FormatUtc(std::chrono::system_clock::time_point when, char (&text)[32])
{
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc = {};
    if (const std::tm* broken = std::gmtime(&seconds)) utc = *broken;  // the main thread alone logs
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
}

void Field(FILE* out, const char* key, const char* text)
{
    std::fprintf(out, ",\"%s\":", key);
    PrintJsonString(out, text);
}

}  // namespace

bool OpenJobLog(JobLog& log, const char* path, const char* firmwareName, const FirmwareSnapshot& firmware,
                Failure& failure)
{
    log.file = nullptr;
    log.path = path;
    log.firmwareName = firmwareName;
    log.fileSha256 = firmware.fileSha256;
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

bool LogJob(JobLog& log, const PortJob& job, Failure& failure)
{
    if (!log.file) return true;
    char started[32], ended[32];
    FormatUtc(job.startedAt, started);
    FormatUtc(job.endedAt, ended);
    std::fprintf(log.file, "{\"started\":\"%s\",\"ended\":\"%s\"", started, ended);
    Field(log.file, "host", log.host);
    Field(log.file, "port", job.name);
    Field(log.file, "serial", job.serialNumber);
    Field(log.file, "file", log.firmwareName);
    std::fprintf(log.file, ",\"sha256\":\"%s\",\"sent_sha256\":\"%s\",\"frames\":%lu,\"data_bytes\":%lld",
                 log.fileSha256, log.sentSha256, job.job.frames, job.sent.load());
    Field(log.file, "result", ResultName(job.exitStatus));
    Field(log.file, "reason", job.reason);
    std::fprintf(log.file, ",\"exit\":%d}\n", job.exitStatus);
    return JobLogIsWritable(log, failure);
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
