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
#include "recipe.h"

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
    "      --recipe R        what the recipe R pins: the image (no FILE), line\n"
    "                        settings, the ports (its slots), serial numbers,\n"
    "                        retries, quota, log; each port is written once and\n"
    "                        an option that contradicts the recipe is refused\n"
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
    const char* recipe = nullptr;
};

// The jobs: write's own, or, under a recipe, the station's that runs them.
PortJob theOwnJobs[kMaxPorts];
PortJob* theJobs = theOwnJobs;
Station theStation;
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
    StopStation(theStation);
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

const Remembered& TheRemembered()
{
    static Remembered remembered = LoadRemembered();
    return remembered;
}

// No --port: $QUORVANE_PORT, else the remembered port, else auto.
void ChooseDefaultPort(PortNames& ports)
{
    if (ports.count) return;
    const char* chosen = std::getenv("QUORVANE_PORT");
    if (!chosen || !*chosen) chosen = TheRemembered().port;
    ports.names[ports.count++] = *chosen ? chosen : "auto";
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
        TextRow(0, "recipe", options.recipe),
    };
    if (!ParseFileCommandLine(kWriteCommand, argc, argv, rows, options.file, status, &options.recipe)) return false;
    if (options.recipe && (options.force || options.save)) {
        status = UsageError(kWriteCommand, options.telling.json, "%s", options.force
                                ? "--force cannot go with --recipe: a recipe's image is written only without problems"
                                : "--save cannot go with --recipe: the recipe names its ports");
        return false;
    }
    if (!settings.baud) settings.baud = TheRemembered().baud;
    if (!options.recipe) ChooseDefaultPort(options.ports);
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

// ---- under a recipe ------------------------------------------------------------

// The recipe's image and settings, its log, and its serial numbers' state
// (numbers a stopped run left out logged as unknown): all before a port is
// opened. False with the reason.
bool PrepareRecipeWrite(WriteOptions& options, int argc, char** argv, JobLog& log, StationRecipe& run,
                        FirmwareSnapshot& firmware, Failure& failure)
{
    static Recipe recipe;
    static FirmwareCheck check;
    if (!PrepareRecipe(options.recipe, recipe, firmware, check, failure)) return false;
    if (!TakeRecipeSettings(argc, argv, recipe, options.settings, options.log, options.ports, failure) ||
        !OpenRecipeLog(log, options.log, recipe, QUORVANE_VERSION, firmware, failure))
        return false;
    ChooseDefaultPort(options.ports);
    options.file = recipe.imageFile.c_str();
    run.recipe = &recipe;
    if (!StartRecipeRun(run, log, failure)) return false;
    if (recipe.boards && recipe.serial.present && run.state.written >= recipe.boards)
        return Fail(failure, "the recipe's quota of %lu boards is written", recipe.boards);
    return true;
}

// Each port a slot of a station that takes one board on each; "auto" is
// the device's own USB port. False when auto finds none or several.
bool SetUpRecipeStation(const WriteOptions& options, const FirmwareSnapshot& firmware, JobLog& log,
                        StationRecipe& run)
{
    static char named[kMaxPorts][256];
    static const char* names[kMaxPorts];
    for (int i = 0; i < options.ports.count; ++i) {
        names[i] = options.ports.names[i];
        if (std::strcmp(names[i], "auto") != 0) continue;
        if (!FindDevicePort(named[i])) return false;
        names[i] = named[i];
    }
    theStation.ports = names;
    theStation.portCount = options.ports.count;
    theStation.count = 0;
    theStation.settings = options.settings;
    theStation.firmware = &firmware;
    theStation.log = &log;
    theStation.recipe = &run;
    theStation.once = true;
    ResetStation(theStation);
    for (int i = 0; i < options.ports.count; ++i) {
        char serialNumber[64] = "";
        FindSerialNumber(names[i], serialNumber);
        SeeSlot(theStation, names[i], true, serialNumber);
    }
    return true;
}

// An attempt on one board has ended: its outcome, and its number's.
void TellAttemptEnded(const WriteOptions& options, Progress& progress, int slot)
{
    const StationSlot& ended = theStation.slots[slot];
    const PortJob& job = theStation.jobs[ended.lastJob];
    BeginRedraw(progress.lines);
    if (progress.lines.terminal) ClearLine();
    // A job tried again has started over already: what ended is in `last`.
    if (ended.job >= 0) return TellPort(job, options.telling.json, "retry", ended.last);
    PrintOutcome(job, options.telling.json, options.quiet);
    if (ended.hasSerial && !(options.quiet && job.exitStatus == kExitOk)) {
        char text[160];
        std::snprintf(text, sizeof text, "serial number %llu %s", ended.serial, SerialOutcomeName(ended.serialState));
        TellPort(job, options.telling.json, "serial", text);
    }
}

// The station's loop, until every slot's board has ended: no board without
// its number saved and its record logged.
void RunRecipeJobs(const WriteOptions& options, long long total)
{
    theJobs = theStation.jobs;
    theJobCount.store(kMaxPorts);
    if (theStopRequested.load()) StopStation(theStation);
    StartDeviceWatch();
    Progress progress = {{StderrIsTerminal(), 0}, std::chrono::steady_clock::now(), std::chrono::steady_clock::now()};
    while (!StationIsDone(theStation)) {
        for (int slot; (slot = FinishNextBoard(theStation)) >= 0;) TellAttemptEnded(options, progress, slot);
        for (int slot; (slot = StartNextBoard(theStation)) >= 0;)
            TellOpened(theStation.jobs[theStation.slots[slot].job], options.settings, options.telling);
        RunOpenedBoards(theStation);
        ReportProgress(options, progress, kMaxPorts, total, false);
        if (!StationIsDone(theStation)) WaitForDeviceChange(progress.lines.terminal ? 100 : 200);
    }
}

// Each slot's last outcome; a slot whose board never started says why.
int RecipeWriteStatus(const WriteOptions& options)
{
    int worst = theStation.logFailed ? kExitUsage : kExitOk;
    if (!options.telling.json && !options.quiet)
        std::fprintf(stderr, "\n%-24s %-10s  %s\n", "PORT", "RESULT", "HOW IT ENDED");
    for (int i = 0; i < theStation.slotCount; ++i) {
        StationSlot& slot = theStation.slots[i];
        int status = slot.written ? slot.lastExitStatus : theStation.stopRequested.load() ? kExitAborted : kExitUsage;
        if (!slot.written) {
            std::snprintf(slot.last, sizeof slot.last, "not written: %s", theStation.stopRequested.load() ? "stopped"
                          : theStation.logFailed ? theStation.logFailure.text : "the recipe's quota of boards is written");
            if (options.telling.json) PrintJsonOutcome(nullptr, "refused", status, slot.last);
        }
        if (!options.telling.json && !options.quiet)
            Say(stderr, "%-24s %-10s  %s\n", slot.name, slot.written ? ResultName(status) : "-", slot.last);
        if (status > worst) worst = status;
    }
    if (theStation.logFailed) Say(stderr, "quorvane-cli write: %s\n", theStation.logFailure.text);
    return worst;
}

int WriteUnderRecipe(WriteOptions& options, int argc, char** argv)
{
    static FirmwareSnapshot firmware;
    static JobLog log;
    static StationRecipe run;
    Failure failure;
    if (!PrepareRecipeWrite(options, argc, argv, log, run, firmware, failure)) {
        Say(stderr, "quorvane-cli write: %s; nothing was sent\n", failure.text);
        if (options.telling.json) PrintJsonOutcome(nullptr, "refused", kExitUsage, failure.text);
        CloseJobLog(log);
        return FinishOutput("write", kExitUsage);
    }
    static FirmwareCheck check;
    CheckFirmware(firmware, check);
    if (options.telling.json) PrintJsonStart(options, firmware, check);
    int status = kExitOk;
    if (options.wait && !WaitForPorts(options)) {
        bool stopped = theStopRequested.load();
        Say(stderr, "quorvane-cli write: %s; nothing was sent\n",
            stopped ? "stopped while waiting for the port" : "the port did not appear in time");
        status = stopped ? kExitAborted : kExitPortNotOpened;
    } else if (!SetUpRecipeStation(options, firmware, log, run)) {
        status = kExitPortNotOpened;
    } else {
        RunRecipeJobs(options, (long long)check.frameData);
        status = RecipeWriteStatus(options);
    }
    CloseJobLog(log);
    ReleaseSnapshot(firmware);
    return FinishOutput("write", status);
}

int RunWrite(int argc, char** argv)
{
    static WriteOptions options;
    int status = kExitOk;
    if (!ParseWriteOptions(argc, argv, options, status)) return status;
    CatchStopSignals(OnStopSignal);
    if (options.recipe) return WriteUnderRecipe(options, argc, argv);
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
    "                          [--base ADDRESS] [--record-size N] [-q|-v|-j] [--] FILE\n"
    "       quorvane-cli write --recipe R [OPTIONS]",
    kWriteHelp, RunWrite};
