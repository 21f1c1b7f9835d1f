// `write`: one write job per port, each on its own thread, with progress,
// reasons for every failure, Ctrl-C as ABORT and an exit status per outcome.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "cli.h"
#include "conversions.h"
#include "port.h"
#include "transfer.h"

namespace {

const char kWriteUsage[] =
    "usage: quorvane-cli write FILE [--port PORT]... [--baud 4800|9600|19200|38400]\n"
    "                          [--mode auto|ack|silent] [--answer-timeout SECONDS]\n"
    "                          [--force] [--save] [--quiet | --json]\n"
    "\n"
    "Writes the firmware in FILE to the device on each PORT (a device path such as\n"
    "/dev/ttyUSB0 on Linux, COM3 or LPT1 on Windows), all ports at once.\n"
    "\n"
    "  --port PORT        a port to write to; give it several times for several\n"
    "                     devices (default: $QUORVANE_PORT, else the remembered port)\n"
    "  --baud RATE        serial line speed (default: the remembered rate, else 9600)\n"
    "  --mode MODE        auto: serial ports answer every frame, parallel ports and\n"
    "                     the device's own USB port do not (default); ack: always\n"
    "                     wait for the answer; silent: never\n"
    "  --answer-timeout S fail when the device does not answer a frame, or the\n"
    "                     port takes nothing, for S seconds (default 30; 0 waits\n"
    "                     for ever; else at least 0.001)\n"
    "  --force            send a file that check finds problems in, exactly as the\n"
    "                     Windows program would\n"
    "  --save             remember the (first) port and the baud rate as defaults,\n"
    "                     in the Windows program's settings file (on Linux\n"
    "                     ~/.config/quorvane/KORVIN.INI)\n"
    "  --quiet            print nothing but errors\n"
    "  --json             machine-readable events on standard output\n"
    "\n"
    "FILE is read once (- reads standard input); the check (see `quorvane-cli\n"
    "check`) and every port's job see those same bytes. A file with problems is\n"
    "refused unless --force. Only serial ports (ttys) and parallel printer ports\n"
    "are written to. Ctrl-C (and a hang-up, SIGQUIT, SIGTERM or a closed output\n"
    "pipe) aborts every job at its next step and puts each port back as found.\n"
    "\n"
    "exit status: 0 written, 1 write failed, 2 usage, file or check problems,\n"
    "3 aborted, 4 port could not be opened; with several ports, the highest\n";

constexpr int kExitAborted = 3;
constexpr int kExitPortNotOpened = 4;
constexpr int kMaxPorts = 32;

enum class Output { Normal, Quiet, Json };

struct WriteOptions {
    const char* file = nullptr;
    const char* ports[kMaxPorts] = {};
    int portCount = 0;
    unsigned long baud = 0;  // 0 until given or remembered
    AnswerMode mode = AnswerMode::Auto;
    double answerTimeoutSeconds = 30;
    bool force = false;
    bool save = false;
    Output output = Output::Normal;
};

// One device's job. The worker thread writes `sent` (in its notifications),
// `outcome` and then `finished`; the main thread reads them, and owns the rest.
struct PortJob {
    const char* name = nullptr;
    Port* port = nullptr;
    char otherHolder[96] = "";  // another program with the port open, if any
    WriteJob job;
    std::atomic<long long> sent{0};
    std::atomic<bool> finished{false};
    WriteOutcome outcome = WriteOutcome::Error;
    int exitStatus = kExitOk;
    char reason[320] = "";
    double seconds = 0;
    long long lastReported = -1;
    std::thread thread;
};

PortJob theJobs[kMaxPorts];
std::atomic<int> theJobCount{0};

// The main thread waits here for the jobs; each worker notifies as it ends.
std::mutex theJobsLock;
std::condition_variable theJobEnded;

std::atomic<bool> theStopRequested{false};

// Ctrl-C is ABORT: every worker stops at its next look at `running`. One
// that comes before the jobs start stops them before their first byte.
extern "C" void OnStopSignal(int)
{
    theStopRequested.store(true);
    for (int i = 0; i < theJobCount.load(); ++i) theJobs[i].job.running.store(0);
}

bool ParseMode(const char* text, AnswerMode& mode)
{
    if (std::strcmp(text, "auto") == 0) mode = AnswerMode::Auto;
    else if (std::strcmp(text, "ack") == 0) mode = AnswerMode::Ack;
    else if (std::strcmp(text, "silent") == 0) mode = AnswerMode::Silent;
    else return false;
    return true;
}

int UsageError(const char* format, const char* detail)
{
    std::fprintf(stderr, "quorvane-cli write: ");
    std::fprintf(stderr, format, detail);
    std::fprintf(stderr, "\n\n%s", kWriteUsage);
    return kExitUsage;
}

enum WriteOption { kHelp, kPort, kBaud, kMode, kAnswerTimeout, kForce, kSave, kQuiet, kJson };

const CommandOption kWriteOptions[] = {
    {"help", 0, false}, {"port", 0, true}, {"baud", 0, true},  {"mode", 0, true},  {"answer-timeout", 0, true},
    {"force", 0, false}, {"save", 0, false}, {"quiet", 0, false}, {"json", 0, false},
};

struct WriteParse {
    WriteOptions& options;
    bool help;
};

bool Refuse(char* error, size_t errorSize, const char* format, const char* value)
{
    std::snprintf(error, errorSize, format, value);
    return false;
}

bool TakeWriteOption(void* context, int index, const char* value, char* error, size_t errorSize)
{
    WriteParse& parse = *static_cast<WriteParse*>(context);
    WriteOptions& options = parse.options;
    switch (WriteOption(index)) {
    case kHelp: parse.help = true; break;
    case kPort:
        if (options.portCount == kMaxPorts) return Refuse(error, errorSize, "at most 32 ports%s", "");
        options.ports[options.portCount++] = value;
        break;
    case kBaud:
        options.baud = ParseBaudRate(value);
        if (!options.baud) return Refuse(error, errorSize, "baud rate must be 4800, 9600, 19200 or 38400, not '%s'", value);
        break;
    case kMode:
        if (!ParseMode(value, options.mode)) return Refuse(error, errorSize, "mode must be auto, ack or silent, not '%s'", value);
        break;
    case kAnswerTimeout: {
        char* end = nullptr;
        double seconds = std::strtod(value, &end);
        // Written so that NaN fails too: 0 (for ever), or 1 ms to a day.
        bool acceptable = seconds == 0 || (seconds >= 0.001 && seconds <= 86400);
        if (end == value || *end || !acceptable)
            return Refuse(error, errorSize, "answer timeout must be 0 (for ever) or 0.001 to 86400 seconds, not '%s'",
                          value);
        options.answerTimeoutSeconds = seconds;
        break;
    }
    case kForce: options.force = true; break;
    case kSave: options.save = true; break;
    case kQuiet: options.output = Output::Quiet; break;
    case kJson: options.output = Output::Json; break;
    }
    return true;
}

// Fills `options`; returns -1 when parsing went well, else the exit status.
int ParseWriteOptions(int argc, char** argv, WriteOptions& options)
{
    WriteParse parse = {options, false};
    CommandLine line;
    if (!ParseCommandLine(argc, argv, kWriteOptions, TakeWriteOption, &parse, line))
        return UsageError("%s", line.error);
    if (parse.help) {
        std::fputs(kWriteUsage, stdout);
        return kExitOk;
    }
    if (line.operandCount > 1) return UsageError("only one FILE, please%s", "");
    if (line.operandCount == 0) return UsageError("which FILE?%s", "");
    options.file = line.operands[0];
    static Remembered remembered = LoadRemembered();
    if (!options.baud) options.baud = remembered.baud;
    if (options.portCount == 0) {
        const char* chosen = std::getenv("QUORVANE_PORT");
        if (!chosen || !*chosen) chosen = remembered.port;
        if (!*chosen) return UsageError("which port? give --port PORT (--save remembers it)%s", "");
        options.ports[options.portCount++] = chosen;
    }
    return -1;
}

// ---- what the jobs say --------------------------------------------------

void DescribeFailure(const WriteOptions& options, const PortJob& portJob, char* text, size_t size)
{
    const WriteJob& job = portJob.job;
    switch (job.failure) {
    case WriteFailure::LineRejected:
        std::snprintf(text, size, "line %lu: not an acceptable S-record", job.line);
        break;
    case WriteFailure::LineTooLong:
        std::snprintf(text, size, "line %lu: longer than any S-record", job.line);
        break;
    case WriteFailure::Nak:
        std::snprintf(text, size, "NAK after frame %lu (address 0x%08lX)", job.frames, (unsigned long)job.lastAddress);
        break;
    case WriteFailure::NoAnswer:
        std::snprintf(text, size, "no answer within %g seconds after frame %lu (address 0x%08lX)",
                      options.answerTimeoutSeconds, job.frames, (unsigned long)job.lastAddress);
        break;
    case WriteFailure::PortStalled:
        std::snprintf(text, size, "the port took nothing for %g seconds", options.answerTimeoutSeconds);
        break;
    default:
        std::snprintf(text, size, "%s", WriteFailureText(job.failure));
        break;
    }
    size_t length = std::strlen(text);
    if (job.failure == WriteFailure::NoAnswer && portJob.otherHolder[0] && length < size)
        std::snprintf(text + length, size - length, "; the port is also open in %s, which may have taken the answers",
                      portJob.otherHolder);
}

const char* ResultName(int exitStatus)
{
    switch (exitStatus) {
    case kExitOk: return "written";
    case kExitAborted: return "aborted";
    case kExitPortNotOpened: return "not opened";
    default: return "failed";
    }
}

void PrintJsonOutcome(const PortJob& job)
{
    std::printf("{\"event\":\"outcome\",\"port\":");
    PrintJsonString(stdout, job.name);
    std::printf(",\"result\":\"%s\",\"exit\":%d,\"sent\":%lld,\"frames\":%lu,\"seconds\":%.3f,\"reason\":",
                ResultName(job.exitStatus), job.exitStatus, job.sent.load(), job.job.frames, job.seconds);
    PrintJsonString(stdout, job.reason);
    std::printf("}\n");
    std::fflush(stdout);
}

void PrintOutcome(const WriteOptions& options, const PortJob& job)
{
    if (options.output == Output::Json) return PrintJsonOutcome(job);
    if (job.exitStatus == kExitOk) {
        if (options.output == Output::Normal)
            Say(stderr, "%s: written, %lld bytes in %lu frames, %.1f s\n", job.name, job.sent.load(), job.job.frames,
                job.seconds);
        return;
    }
    Say(stderr, "%s: %s: %s\n", job.name, ResultName(job.exitStatus), job.reason);
}

// ---- progress ------------------------------------------------------------

struct Progress {
    bool terminal;
    int linesDrawn;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point lastLine;
};

void FormatProgress(const PortJob& job, long long total, double seconds, char* text, size_t size)
{
    long long sent = job.sent.load();
    double rate = seconds > 0 ? double(sent) / seconds : 0;
    int percent = total > 0 ? int(100.0 * double(sent) / double(total)) : 100;
    char left[32] = "";
    bool done = job.finished.load();
    if (rate > 0 && sent < total && !done) std::snprintf(left, sizeof left, ", %.0f s left", double(total - sent) / rate);
    std::snprintf(text, size, "%s: %lld of %lld bytes, %3d%%, %.0f bytes/s%s%s", job.name, sent, total, percent,
                  rate, left, done ? ", done" : "");
}

void ReportProgress(const WriteOptions& options, Progress& progress, int jobCount, long long total, bool final)
{
    auto now = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(now - progress.started).count();
    if (options.output == Output::Json) {
        for (int i = 0; i < jobCount; ++i) {
            PortJob& job = theJobs[i];
            long long sent = job.sent.load();
            if (sent == job.lastReported) continue;
            job.lastReported = sent;
            std::printf("{\"event\":\"progress\",\"port\":");
            PrintJsonString(stdout, job.name);
            std::printf(",\"sent\":%lld,\"total\":%lld}\n", sent, total);
        }
        std::fflush(stdout);
        return;
    }
    if (options.output == Output::Quiet) return;
    // Away from a terminal: a line per device every few seconds, and at the end.
    if (!progress.terminal && !final && now - progress.lastLine < std::chrono::seconds(5)) return;
    progress.lastLine = now;
    if (progress.terminal && progress.linesDrawn > 0) std::fprintf(stderr, "\x1b[%dA", progress.linesDrawn);
    for (int i = 0; i < jobCount; ++i) {
        if (!theJobs[i].port) continue;
        char line[200];
        FormatProgress(theJobs[i], total, seconds, line, sizeof line);
        if (progress.terminal) std::fputs("\r\x1b[K", stderr);
        Say(stderr, "%s\n", line);
    }
    progress.linesDrawn = 0;
    if (progress.terminal)
        for (int i = 0; i < jobCount; ++i) progress.linesDrawn += theJobs[i].port != nullptr;
    std::fflush(stderr);
}

// ---- the jobs --------------------------------------------------------------

void OnNotification(void* context, WriteNote note, long long total)
{
    if (note == WriteNote::Progress) static_cast<PortJob*>(context)->sent.store(total);
}

void RunJob(PortJob* job)
{
    auto started = std::chrono::steady_clock::now();
    job->outcome = RunWriteJob(job->job);
    job->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::lock_guard<std::mutex> lock(theJobsLock);
    job->finished.store(true);
    theJobEnded.notify_one();
}

int ExitStatusOf(WriteOutcome outcome)
{
    if (outcome == WriteOutcome::End) return kExitOk;
    return outcome == WriteOutcome::Aborted ? kExitAborted : kExitFailed;
}

// Opens the port for one job over the firmware; false (with the reason) if
// it cannot be opened.
bool PrepareJob(const WriteOptions& options, const FirmwareSnapshot& firmware, PortJob& job)
{
    if (std::strcmp(options.file, "-") != 0 && IsSameFile(options.file, job.name)) {
        std::snprintf(job.reason, sizeof job.reason, "%s is the firmware file itself, not a port", job.name);
        job.exitStatus = kExitPortNotOpened;
        return false;
    }
    PortOpening opened = OpenPort(job.name, options.baud, options.mode);
    if (!opened.port) {
        std::snprintf(job.reason, sizeof job.reason, "%s", opened.message);
        job.exitStatus = kExitPortNotOpened;
        return false;
    }
    job.port = opened.port;
    std::snprintf(job.otherHolder, sizeof job.otherHolder, "%s", opened.otherHolder);
    if (job.otherHolder[0] && options.output != Output::Json)
        Say(stderr, "quorvane-cli write: %s is also open in %s, which may take the device's answers\n", job.name,
            job.otherHolder);
    PrepareWriteJob(job.job);
    job.job.image = firmware.bytes;
    job.job.imageSize = firmware.size;
    FillPortSeam(job.job.seam, job.port);
    job.job.seam.frontEnd = &job;
    job.job.seam.notify = OnNotification;
    job.job.ackMode = opened.ackMode;
    job.job.answerTimeoutMs = (unsigned long)(options.answerTimeoutSeconds * 1000 + 0.5);
    return true;
}

void FinishJob(const WriteOptions& options, PortJob& job)
{
    if (job.thread.joinable()) job.thread.join();
    if (job.port) {
        job.exitStatus = ExitStatusOf(job.outcome);
        if (job.outcome == WriteOutcome::Error) DescribeFailure(options, job, job.reason, sizeof job.reason);
        if (job.outcome == WriteOutcome::Aborted)
            std::snprintf(job.reason, sizeof job.reason, "aborted after %lu frames", job.job.frames);
        ClosePort(job.port);
        job.port = nullptr;
    }
    PrintOutcome(options, job);
}

void PrintSummary(const WriteOptions& options, int jobCount)
{
    if (options.output != Output::Normal || jobCount < 2) return;
    std::fprintf(stderr, "\n%-24s %-10s %10s  %s\n", "PORT", "RESULT", "BYTES", "REASON");
    for (int i = 0; i < jobCount; ++i) {
        const PortJob& job = theJobs[i];
        Say(stderr, "%-24s %-10s %10lld  %s\n", job.name, ResultName(job.exitStatus), job.sent.load(),
            job.exitStatus == kExitOk ? "" : job.reason);
    }
}

// The file read once and checked: a file with problems is refused unless
// --force. -1 to go on, else the exit status.
int CheckBeforeWriting(const WriteOptions& options, FirmwareSnapshot& firmware, FirmwareCheck& check)
{
    char error[320];
    if (!TakeSnapshot(options.file, firmware, error, sizeof error)) {
        Say(stderr, "quorvane-cli write: %s\n", error);
        return kExitUsage;
    }
    CheckFirmware(firmware, check);
    if (check.problems == 0 || options.force) return -1;
    Say(stderr, "quorvane-cli write: %s has problems; nothing was sent (--force sends it anyway)\n", options.file);
    PrintFirmwareCheck(stderr, options.file, check, options.baud);
    return kExitUsage;
}

void PrintJsonStart(const WriteOptions& options, const FirmwareCheck& check)
{
    std::printf("{\"event\":\"start\",\"file\":");
    PrintJsonString(stdout, options.file);
    std::printf(",\"frames\":%lu,\"total\":%lld,\"ports\":[", check.frames, (long long)check.frameData);
    for (int i = 0; i < options.portCount; ++i) {
        if (i) std::printf(",");
        PrintJsonString(stdout, options.ports[i]);
    }
    std::printf("]}\n");
    std::fflush(stdout);
}

bool AllFinished(int jobCount)
{
    for (int i = 0; i < jobCount; ++i)
        if (theJobs[i].port && !theJobs[i].finished.load()) return false;
    return true;
}

// Remembers the first port once the ports are open, before a byte is sent;
// a save that fails stops every job before it starts.
bool SaveIfAsked(const WriteOptions& options)
{
    if (!options.save) return true;
    char error[320];
    if (SaveRemembered(options.ports[0], options.baud, error, sizeof error)) return true;
    Say(stderr, "quorvane-cli write: cannot remember the port: %s; nothing was sent\n", error);
    return false;
}

void CloseAll(int jobCount)
{
    for (int i = 0; i < jobCount; ++i) {
        if (theJobs[i].port) ClosePort(theJobs[i].port);
        theJobs[i].port = nullptr;
    }
}

void WaitForJobs(const WriteOptions& options, int jobCount, long long total)
{
    Progress progress = {StderrIsTerminal(), 0, std::chrono::steady_clock::now(), std::chrono::steady_clock::now()};
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(theJobsLock);
            if (theJobEnded.wait_for(lock, std::chrono::milliseconds(progress.terminal ? 100 : 200),
                                     [&] { return AllFinished(jobCount); }))
                break;
        }
        ReportProgress(options, progress, jobCount, total, false);
    }
    ReportProgress(options, progress, jobCount, total, true);
}

}  // namespace

int RunWriteCommand(int argc, char** argv)
{
    static WriteOptions options;
    int status = ParseWriteOptions(argc, argv, options);
    if (status >= 0) return status;
    CatchStopSignals(OnStopSignal);
    static FirmwareSnapshot firmware;
    static FirmwareCheck check;
    status = CheckBeforeWriting(options, firmware, check);
    if (status >= 0) return status;
    if (options.output == Output::Json) PrintJsonStart(options, check);

    int jobCount = options.portCount;
    for (int i = 0; i < jobCount; ++i) {
        theJobs[i].name = options.ports[i];
        PrepareJob(options, firmware, theJobs[i]);
    }
    if (!SaveIfAsked(options)) {
        CloseAll(jobCount);
        return kExitUsage;
    }
    theJobCount.store(jobCount);
    if (theStopRequested.load()) OnStopSignal(0);
    for (int i = 0; i < jobCount; ++i)
        if (theJobs[i].port) theJobs[i].thread = std::thread(RunJob, &theJobs[i]);
    WaitForJobs(options, jobCount, (long long)check.frameData);

    int worst = kExitOk;
    for (int i = 0; i < jobCount; ++i) {
        FinishJob(options, theJobs[i]);
        if (theJobs[i].exitStatus > worst) worst = theJobs[i].exitStatus;
    }
    PrintSummary(options, jobCount);
    ReleaseSnapshot(firmware);
    return FinishOutput("write", worst);
}
