// `write`: one write job per port, each on its own thread, with progress,
// reasons for every failure, Ctrl-C as ABORT and an exit status per outcome.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "cli.h"

namespace {

const char kWriteHelp[] =
    "Writes the firmware in FILE to the device on each PORT, all ports at once.\n"
    "FILE is read once (- reads standard input) and checked first (see\n"
    "`quorvane-cli check`); the check and every port's job see those same bytes.\n"
    "An Intel HEX file, or a raw binary with --base, is sent as the S-records it\n"
    "converts to.\n"
    "\n"
    "{write-port}"
    "  -b, --baud RATE       the serial line's speed: 4800, 9600, 19200 or 38400\n"
    "                        (default: the remembered rate, else 9600)\n"
    "  -m, --mode MODE       auto: serial ports answer every frame, parallel ports\n"
    "                        and the device's own USB port do not (the default);\n"
    "                        ack: always wait for the answer; silent: never\n"
    "  -t, --answer-timeout S  fail when the device does not answer a frame, or\n"
    "                        the port takes nothing, for S seconds (default 30;\n"
    "                        0 waits for ever; else at least 0.001)\n"
    "  -f, --force           send a file that check finds problems in, exactly as\n"
    "                        the Windows program would\n"
    "{write-save}"
    "      --base ADDRESS    FILE is a raw binary image that loads at ADDRESS\n"
    "      --record-size N   data bytes per S3 record of a converted image\n"
    "                        (1 to 250, default 32)\n"
    "  -w, --wait[=SECONDS]  wait (for ever, or SECONDS) for the port, or the one\n"
    "                        device port, to appear, then write\n"
    "  -l, --log FILE.jsonl  append one JSON line per job to FILE.jsonl (see the\n"
    "                        README for its fields)\n"
    "  -q, --quiet           print nothing but errors\n"
    "  -v, --verbose         say how each port is driven\n"
    "  -j, --json            machine-readable events on standard output\n"
    "  -h, --help            this text\n"
    "\n"
    "{write-stop}"
    "\n"
    "exit status: 0 written, 1 the write failed, 2 a usage error or a file that\n"
    "cannot be read or has problems, 3 aborted, 4 a port could not be found or\n"
    "opened; with several ports, the highest of their statuses.\n";

struct WriteOptions {
    const char* file = nullptr;
    PortNames ports = {{}, 0};
    JobSettings settings = {0, AnswerMode::Auto, 30};  // baud 0 until given or remembered
    Telling telling = {false, false};
    bool force = false;
    bool save = false;
    bool quiet = false;
    bool wait = false;
    double waitSeconds = 0;   // 0: for ever
    const char* log = nullptr;
    ImageOptions image;
};

PortJob theJobs[kMaxPorts];
std::atomic<int> theJobCount{0};
std::atomic<bool> theStopRequested{false};

// The main thread waits here for the jobs; each worker tells it as it ends.
std::mutex theJobsLock;
std::condition_variable theJobEnded;

// Ctrl-C is ABORT: every worker stops at its next look at `running`. One
// that comes before the jobs start stops them before their first byte.
void OnStopSignal(int)
{
    theStopRequested.store(true);
    for (int i = 0; i < theJobCount.load(); ++i) theJobs[i].job.running.store(0);
}

void OnJobEnded(void*)
{
    std::lock_guard<std::mutex> lock(theJobsLock);
    theJobEnded.notify_one();
}

bool TakeWait(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    WriteOptions& options = *static_cast<WriteOptions*>(row.field);
    options.wait = true;
    if (!value || ParseSeconds(value, options.waitSeconds)) return true;
    std::snprintf(error, errorSize, "--wait takes 0 (for ever) or 0.001 to 86400 seconds, not '%s'", value);
    return false;
}

struct DevicePorts {
    int count;
    char first[256];
};

// The target device's own USB ports there are now.
DevicePorts FindDevicePorts()
{
    DevicePorts found = {0, ""};
    ListPorts([](void* context, const PortListing& port) {
        DevicePorts& seen = *static_cast<DevicePorts*>(context);
        if (port.kind != PortKind::DeviceUsb) return;
        if (seen.count++ == 0) std::snprintf(seen.first, sizeof seen.first, "%s", port.name);
    }, &found);
    return found;
}

int CountDevicePorts() { return FindDevicePorts().count; }

// The target device's own USB port when there is exactly one; otherwise
// the ports there are, and false.
bool FindDevicePort(char (&name)[256])
{
    DevicePorts found = FindDevicePorts();
    if (found.count == 1) {
        std::snprintf(name, sizeof name, "%s", found.first);
        return true;
    }
    Say(stderr, "quorvane-cli write: --port auto found %s of the target device's own USB ports (0d5c:0002); the "
                "ports there are:\n", found.count ? "several" : "none");
    ListPorts([](void*, const PortListing& port) {
        Say(stderr, "  %-20s %s\n", port.name, PortKindName(port.kind));
    }, nullptr);
    return false;
}

// Fills `options`; false with the exit status when the command is not to run.
bool ParseWriteOptions(int argc, char** argv, WriteOptions& options, int& status)
{
    JobSettings& settings = options.settings;
    const CommandOption rows[] = {
        PortRow(options.ports),
        BaudRow(settings.baud),
        ModeRow(settings.mode),
        AnswerTimeoutRow(settings.answerTimeoutSeconds),
        FlagRow('f', "force", options.force),
        FlagRow('s', "save", options.save),
        OptionalValueRow('w', "wait", &options, TakeWait),
        TextRow('l', "log", options.log),
        FlagRow('q', "quiet", options.quiet),
        FlagRow('v', "verbose", options.telling.verbose),
        FlagRow('j', "json", options.telling.json),
        BaseRow(options.image),
        RecordSizeRow(options.image),
    };
    if (!ParseFileCommandLine(kWriteCommand, argc, argv, rows, options.file, status)) return false;
    static Remembered remembered = LoadRemembered();
    if (!settings.baud) settings.baud = remembered.baud;
    if (options.ports.count == 0) {
        const char* chosen = std::getenv("QUORVANE_PORT");
        if (!chosen || !*chosen) chosen = remembered.port;
        options.ports.names[options.ports.count++] = *chosen ? chosen : "auto";
    }
    return true;
}

// ---- progress ------------------------------------------------------------

struct Progress {
    LiveLines lines;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point lastLine;
};

void ReportJsonProgress(int jobCount, long long total)
{
    for (int i = 0; i < jobCount; ++i) {
        PortJob& job = theJobs[i];
        long long sent = job.sent.load();
        if (!job.port || sent == job.lastReported) continue;
        job.lastReported = sent;
        std::printf("{\"event\":\"progress\",\"port\":");
        PrintJsonString(stdout, job.name);
        std::printf(",\"sent\":%lld,\"total\":%lld}\n", sent, total);
    }
    std::fflush(stdout);
    StopIfOutputClosed();
}

void ReportProgress(const WriteOptions& options, Progress& progress, int jobCount, long long total, bool final)
{
    auto now = std::chrono::steady_clock::now();
    const bool json = options.telling.json;
    for (int i = 0; i < jobCount; ++i) WarnIfFirstAnswerLate(theJobs[i], json, now - progress.started);
    if (json) return ReportJsonProgress(jobCount, total);
    if (options.quiet) return;
    // Away from a terminal: a line per device every few seconds, and at the end.
    if (!progress.lines.terminal && !final && now - progress.lastLine < std::chrono::seconds(5)) return;
    progress.lastLine = now;
    BeginRedraw(progress.lines);
    double seconds = std::chrono::duration<double>(now - progress.started).count();
    for (int i = 0; i < jobCount; ++i) {
        if (!theJobs[i].port) continue;
        char line[400];
        FormatProgress(theJobs[i], total, seconds, line, sizeof line);
        DrawLine(progress.lines, line);
    }
    std::fflush(stderr);
}

bool AllFinished(int jobCount)
{
    for (int i = 0; i < jobCount; ++i)
        if (theJobs[i].port && !theJobs[i].finished.load()) return false;
    return true;
}

void WaitForJobs(const WriteOptions& options, int jobCount, long long total)
{
    Progress progress = {{StderrIsTerminal(), 0}, std::chrono::steady_clock::now(), std::chrono::steady_clock::now()};
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(theJobsLock);
            if (theJobEnded.wait_for(lock, std::chrono::milliseconds(progress.lines.terminal ? 100 : 200),
                                     [&] { return AllFinished(jobCount); }))
                break;
        }
        ReportProgress(options, progress, jobCount, total, false);
    }
    ReportProgress(options, progress, jobCount, total, true);
}

// ---- the jobs --------------------------------------------------------------

// The file read once and checked: a file with problems is refused unless
// --force. True to go on; else false with the exit status.
bool CheckBeforeWriting(const WriteOptions& options, FirmwareSnapshot& firmware, FirmwareCheck& check, int& status)
{
    const bool json = options.telling.json;
    Failure failure;
    if (!LoadFirmware(options.file, options.image, true, firmware, failure)) {
        Say(stderr, "quorvane-cli write: %s\n", failure.text);
    } else {
        CheckFirmware(firmware, check);
        if (check.problems == 0 || options.force) return true;
        Fail(failure, "%s has problems; nothing was sent (--force sends it anyway)", options.file);
        Say(stderr, "quorvane-cli write: %s\n", failure.text);
        if (json)
            PrintFirmwareCheckJson(stdout, options.file, check, options.settings.baud);
        else
            PrintFirmwareCheck(stderr, options.file, check, options.settings.baud);
    }
    if (json) PrintJsonOutcome(nullptr, "refused", kExitUsage, failure.text);
    status = FinishOutput("write", kExitUsage);
    return false;
}

void PrintJsonStart(const WriteOptions& options, const FirmwareSnapshot& firmware, const FirmwareCheck& check)
{
    std::printf("{\"event\":\"start\",\"file\":");
    PrintJsonString(stdout, options.file);
    std::printf(",\"sha256\":\"%s\",\"frames\":%lu,\"total\":%llu,\"ports\":[", firmware.fileSha256, check.frames,
                check.frameData);
    for (int i = 0; i < options.ports.count; ++i) {
        if (i) std::printf(",");
        PrintJsonString(stdout, options.ports.names[i]);
    }
    std::printf("]}\n");
    std::fflush(stdout);
    StopIfOutputClosed();
}

// Opens each job's port; "auto" becomes the device's own USB port.
void OpenJobs(WriteOptions& options, const FirmwareSnapshot& firmware)
{
    for (int i = 0; i < options.ports.count; ++i) {
        PortJob& job = theJobs[i];
        ResetJob(job, options.ports.names[i]);
        job.ended = OnJobEnded;
        if (std::strcmp(options.ports.names[i], "auto") == 0 && !FindDevicePort(job.name)) {
            std::snprintf(job.reason, sizeof job.reason, "no single device port to choose (--port auto)");
            job.exitStatus = kExitPortNotOpened;
        } else if (std::strcmp(options.file, "-") != 0 && IsSameFile(options.file, job.name)) {
            const std::string name = job.name;  // a copy: GCC cannot tell the two fields of one job apart
            std::snprintf(job.reason, sizeof job.reason, "%s is the firmware file itself, not a port", name.c_str());
            job.exitStatus = kExitPortNotOpened;
        } else {
            FindSerialNumber(job.name, job.serialNumber);
            OpenJob(job, options.settings, firmware);
            TellOpened(job, options.settings, options.telling);
        }
    }
}

// --wait: until every port is there (auto: exactly one device port), the
// time is up (false), or a stop signal comes.
bool WaitForPorts(const WriteOptions& options)
{
    auto started = std::chrono::steady_clock::now();
    for (;;) {
        bool present = true;
        for (int i = 0; i < options.ports.count && present; ++i) {
            const char* name = options.ports.names[i];
            present = std::strcmp(name, "auto") == 0 ? CountDevicePorts() == 1 : PortIsPresent(name);
        }
        if (present || theStopRequested.load()) return present;
        double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (options.waitSeconds > 0 && waited >= options.waitSeconds) return false;
        // Often enough that a device replugged within half a second is seen.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Remembers the first port once the ports are open, before a byte is sent,
// and only when it opened: a name that opens nothing is not worth keeping.
// A save that fails stops every job before it starts.
bool SaveIfAsked(const WriteOptions& options)
{
    if (!options.save) return true;
    if (!theJobs[0].port) {
        Say(stderr, "quorvane-cli write: %s was not remembered: it could not be opened\n", theJobs[0].name);
        return true;
    }
    Failure failure;
    if (SaveRemembered(theJobs[0].name, options.settings.baud, failure)) return true;
    Say(stderr, "quorvane-cli write: cannot remember the port: %s; nothing was sent\n", failure.text);
    for (int i = 0; i < options.ports.count; ++i)
        if (theJobs[i].port) ClosePort(theJobs[i].port);
    return false;
}

void PrintSummary(const WriteOptions& options, int jobCount)
{
    if (options.telling.json || options.quiet || jobCount < 2) return;
    std::fprintf(stderr, "\n%-24s %-10s %10s  %s\n", "PORT", "RESULT", "BYTES", "REASON");
    for (int i = 0; i < jobCount; ++i) {
        const PortJob& job = theJobs[i];
        Say(stderr, "%-24s %-10s %10lld  %s\n", job.name, ResultName(job.exitStatus), job.sent.load(),
            job.exitStatus == kExitOk ? "" : job.reason);
    }
}

int RunWrite(int argc, char** argv)
{
    static WriteOptions options;
    int status = kExitOk;
    if (!ParseWriteOptions(argc, argv, options, status)) return status;
    CatchStopSignals(OnStopSignal);
    static FirmwareSnapshot firmware;
    static FirmwareCheck check;
    if (!CheckBeforeWriting(options, firmware, check, status)) return status;
    if (options.telling.json) PrintJsonStart(options, firmware, check);
    static JobLog log;
    Failure failure;
    if (!OpenJobLog(log, options.log, options.file, firmware, failure)) {
        Say(stderr, "quorvane-cli write: %s; nothing was sent\n", failure.text);
        return FinishOutput("write", kExitUsage);
    }
    if (options.wait && !WaitForPorts(options)) {
        bool stopped = theStopRequested.load();
        Say(stderr, "quorvane-cli write: %s; nothing was sent\n",
            stopped ? "stopped while waiting for the port" : "the port did not appear in time");
        CloseJobLog(log);
        return FinishOutput("write", stopped ? kExitAborted : kExitPortNotOpened);
    }

    int jobCount = options.ports.count;
    OpenJobs(options, firmware);
    if (!SaveIfAsked(options)) return FinishOutput("write", kExitUsage);
    theJobCount.store(jobCount);
    if (theStopRequested.load()) OnStopSignal(0);
    for (int i = 0; i < jobCount; ++i)
        if (theJobs[i].port) StartJob(theJobs[i]);
    WaitForJobs(options, jobCount, (long long)check.frameData);

    int worst = kExitOk;
    bool logged = true;
    for (int i = 0; i < jobCount; ++i) {
        FinishJob(theJobs[i], options.settings);
        PrintOutcome(theJobs[i], options.telling.json, options.quiet);
        if (theJobs[i].exitStatus > worst) worst = theJobs[i].exitStatus;
        if (logged && !(logged = LogJob(log, theJobs[i], failure)))
            Say(stderr, "quorvane-cli write: %s\n", failure.text);
    }
    PrintSummary(options, jobCount);
    CloseJobLog(log);
    ReleaseSnapshot(firmware);
    if (!logged && worst < kExitUsage) worst = kExitUsage;
    return FinishOutput("write", worst);
}

}  // namespace

const CommandInfo kWriteCommand = {
    "write",
    "quorvane-cli write [-p PORT]... [-b BAUD] [-m MODE] [-t SECONDS] [-f] [-s] [--wait[=S]] [-l LOG]\n"
    "                          [--base ADDRESS] [--record-size N] [-q|-v|-j] [--] FILE",
    kWriteHelp, RunWrite};
