// What the commands print about files and jobs: the check's summary, each
// port's messages, progress and outcome, live lines and the tally. Text on
// standard error for people, JSON events on standard output for programs.
#include <cstdio>
#include <cstring>

#include "cli.h"

void PrintFirmwareCheck(FILE* out, const char* path, const FirmwareCheck& check, unsigned long baud)
{
    Say(out, "file: %s\n", path);
    std::fprintf(out, "records:");
    const char* separator = " ";
    for (int type = 0; type < 10; ++type) {
        if (!check.records[type]) continue;
        std::fprintf(out, "%sS%d %lu", separator, type, check.records[type]);
        separator = ", ";
    }
    std::fprintf(out, "%s\n", *separator == ' ' ? " none" : "");
    std::fprintf(out, "data bytes: %llu\n", check.dataBytes);
    std::fprintf(out, "address ranges:%s\n", check.ranges.empty() ? " none" : "");
    for (const auto& range : check.ranges) {
        std::fprintf(out, "  0x%08llX-0x%08llX (%llu bytes)\n", range.first, range.second - 1,
                     range.second - range.first);
    }
    std::fprintf(out, "frames: %lu\n", check.frames);
    unsigned long long bytes = WireBytes(check, true);
    std::fprintf(out, "time on the wire at %lu baud: %.1f s (%llu bytes, an answer to every frame)\n", baud,
                 double(bytes) * 10.0 / double(baud), bytes);
    if (check.noteLine) std::fprintf(out, "note: line %lu: %s\n", check.noteLine, check.note);
    if (check.problems == 0) {
        std::fprintf(out, "problems: none\n");
        return;
    }
    std::fprintf(out, "problems: %lu\n", check.problems);
    for (int i = 0; i < check.reported; ++i) {
        const FirmwareCheck::Problem& problem = check.problem[i];
        if (problem.line) std::fprintf(out, "  line %lu: %s\n", problem.line, problem.text);
        else std::fprintf(out, "  file: %s\n", problem.text);
    }
    if (check.problems > (unsigned long)check.reported) {
        std::fprintf(out, "  and %lu more\n", check.problems - (unsigned long)check.reported);
    }
}

void PrintFirmwareCheckJson(FILE* out, const char* path, const FirmwareCheck& check, unsigned long baud)
{
    std::fprintf(out, "{\"event\":\"check\",\"file\":");
    PrintJsonString(out, path);
    std::fprintf(out, ",\"records\":{");
    const char* separator = "";
    for (int type = 0; type < 10; ++type) {
        if (!check.records[type]) continue;
        std::fprintf(out, "%s\"S%d\":%lu", separator, type, check.records[type]);
        separator = ",";
    }
    std::fprintf(out, "},\"data_bytes\":%llu,\"ranges\":[", check.dataBytes);
    separator = "";
    for (const auto& range : check.ranges) {
        std::fprintf(out, "%s[%llu,%llu]", separator, range.first, range.second - 1);
        separator = ",";
    }
    unsigned long long bytes = WireBytes(check, true);
    std::fprintf(out, "],\"frames\":%lu,\"total\":%llu,\"wire_bytes\":%llu,\"seconds\":%.3f,\"note\":",
                 check.frames, check.frameData, bytes, double(bytes) * 10.0 / double(baud));
    PrintJsonString(out, check.note);
    std::fprintf(out, ",\"problem_count\":%lu,\"problems\":[", check.problems);
    for (int i = 0; i < check.reported; ++i) {
        std::fprintf(out, "%s{\"line\":%lu,\"text\":", i ? "," : "", check.problem[i].line);
        PrintJsonString(out, check.problem[i].text);
        std::fprintf(out, "}");
    }
    std::fprintf(out, "]}\n");
}

void PrintJsonOutcome(const PortJob* job, const char* result, int status, const char* reason)
{
    std::printf("{\"event\":\"outcome\"");
    if (job) {
        std::printf(",\"port\":");
        PrintJsonString(stdout, job->name);
    }
    std::printf(",\"result\":\"%s\",\"exit\":%d", result, status);
    if (job)
        std::printf(",\"sent\":%lld,\"frames\":%lu,\"seconds\":%.3f", job->sent.load(), job->job.frames, job->seconds);
    std::printf(",\"reason\":");
    PrintJsonString(stdout, reason);
    std::printf("}\n");
    std::fflush(stdout);
}

void TellPort(const PortJob& job, bool json, const char* event, const char* text)
{
    if (!json) {
        Say(stderr, "%s: %s\n", job.name, text);
        return;
    }
    std::printf("{\"event\":\"%s\",\"port\":", event);
    PrintJsonString(stdout, job.name);
    std::printf(",\"text\":");
    PrintJsonString(stdout, text);
    std::printf("}\n");
    std::fflush(stdout);
}

void TellOpened(const PortJob& job, const JobSettings& settings, const Telling& telling)
{
    if (!job.port) return;
    char text[200];
    if (job.otherHolder[0]) {
        std::snprintf(text, sizeof text, "also open in %s, which may take the device's answers", job.otherHolder);
        TellPort(job, telling.json, "warning", text);
    }
    if (job.lineNote[0]) TellPort(job, telling.json, "warning", job.lineNote);
    if (!telling.verbose) return;
    const char* how = job.job.ackMode ? "an answer awaited after every frame" : "frames back to back, nothing read";
    if (job.kind == PortKind::Serial)
        std::snprintf(text, sizeof text, "serial port at %lu baud, 8N1; %s", settings.baud, how);
    else
        std::snprintf(text, sizeof text, "%s; %s",
                      job.kind == PortKind::Parallel ? "parallel port" : "the device's own USB port", how);
    TellPort(job, telling.json, "port", text);
    if (job.latencyNote[0]) TellPort(job, telling.json, "port", job.latencyNote);
}

void WarnIfFirstAnswerLate(PortJob& job, bool json, std::chrono::steady_clock::duration waited)
{
    if (!FirstAnswerIsLate(job, waited)) return;
    TellPort(job, json, "warning",
             "no answer to the first frame after 3 seconds: is this the device's port, is the baud rate right "
             "(--baud), and is the device in its download mode?");
}

void FormatProgress(const PortJob& job, long long total, double seconds, char* text, size_t size)
{
    long long sent = job.sent.load();
    double rate = seconds > 0 ? double(sent) / seconds : 0;
    int percent = total > 0 ? int(100.0 * double(sent) / double(total)) : 100;
    char state[32] = "";
    if (job.finished.load()) {
        const char* names[] = {"done", "failed", "aborted"};
        std::snprintf(state, sizeof state, ", %s", names[int(job.outcome)]);
    } else if (rate > 0 && sent < total) {
        std::snprintf(state, sizeof state, ", %.0f s left", double(total - sent) / rate);
    }
    std::snprintf(text, size, "%s: %lld of %lld bytes, %3d%%, %.0f bytes/s%s", job.name, sent, total, percent, rate,
                  state);
}

void PrintOutcome(const PortJob& job, bool json, bool quiet)
{
    if (json) return PrintJsonOutcome(&job, ResultName(job.exitStatus), job.exitStatus, job.reason);
    if (job.exitStatus != kExitOk)
        Say(stderr, "%s: %s: %s\n", job.name, ResultName(job.exitStatus), job.reason);
    else if (!quiet)
        Say(stderr, "%s: written, %lld bytes in %lu frames, %.1f s\n", job.name, job.sent.load(), job.job.frames,
            job.seconds);
}

void BeginRedraw(LiveLines& lines)
{
    if (lines.terminal && lines.drawn > 0) MoveUpLines(lines.drawn);
    lines.drawn = 0;
}

void DrawLine(LiveLines& lines, const char* text)
{
    if (lines.terminal) ClearLine();
    Say(stderr, "%s\n", text);
    lines.drawn += lines.terminal;
}

void PrintTally(LiveLines* lines, const StationTally& tally)
{
    char text[120];
    std::snprintf(text, sizeof text, "tally: %lu written, %lu failed, %lu aborted", tally.written, tally.failed,
                  tally.aborted);
    if (lines) DrawLine(*lines, text);
    else std::fprintf(stderr, "%s\n", text);
}
