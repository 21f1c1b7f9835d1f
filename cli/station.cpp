// `station`: a production line's write station. The file is read and
// checked once; then every device that is plugged in gets its own job on
// its own thread, is written once while it stays, and is logged.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "conversions.h"
#include "jobs.h"

namespace {

const char kStationHelp[] =
    "Checks FILE once, shows its summary and its SHA-256 digests (of the file,\n"
    "and of the bytes a job sends), then waits for devices: the target device's\n"
    "own USB ports (0d5c:0002) by default, or the PORTs given (by-id paths stay\n"
    "the same board after board). Each device that appears is written at once on\n"
    "a job of its own, several at a time; one that stays plugged in is not\n"
    "written again until it has gone and come back. One line per device shows\n"
    "its port, USB serial number, progress and outcome, and a tally counts the\n"
    "boards written, failed and aborted.\n"
    "\n"
    "  -p, --port PORT       a port to watch (give it several times); default:\n"
    "                        every port of the target device's own USB kind\n"
    "  -n, --count N         end after N boards written\n"
    "  -l, --log FILE.jsonl  append one JSON line per job to FILE.jsonl; a log\n"
    "                        that cannot be opened stops the station before\n"
    "                        anything is sent, one that can no longer be written\n"
    "                        stops it taking new devices\n"
    "  -b, --baud RATE       4800, 9600 (the default), 19200 or 38400\n"
    "  -m, --mode MODE       auto (the default), ack or silent, as for write\n"
    "  -t, --answer-timeout S  as for write (default 30)\n"
    "      --base ADDRESS    FILE is a raw binary image that loads at ADDRESS\n"
    "      --record-size N   data bytes per S3 record of a converted image\n"
    "  -v, --verbose         say how each port is driven\n"
    "  -h, --help            this text\n"
    "\n"
    "Ctrl-C ends the station: jobs under way are aborted at their next step\n"
    "and the tally is printed.\n"
    "\n"
    "exit status: 0 the count of boards was reached, 1 the log could no longer\n"
    "be written, 2 a usage error or a file that cannot be read or has problems,\n"
    "3 ended by Ctrl-C or another stop signal.\n";

enum StationOption { kPort, kCount, kLog, kVerbose, kBaud, kMode, kAnswerTimeout, kBase, kRecordSize };
const CommandOption kStationOptions[] = {
    {"port", 'p', true}, {"count", 'n', true}, {"log", 'l', true}, {"verbose", 'v', false},
    kJobOptions[0],      kJobOptions[1],       kJobOptions[2],     kImageOptions[0],
    kImageOptions[1],
};

struct StationOptions {
    const char* ports[kMaxPorts] = {};
    int portCount = 0;
    unsigned long count = 0;  // 0: until stopped
    const char* log = nullptr;
    JobSettings settings = {9600, AnswerMode::Auto, 30, false, false};
    ImageOptions image;
};

// A port the station watches, and what it knows of the device there.
struct Watched {
    char name[256];
    char serialNumber[64];
    bool present;
    bool written;    // its job ended while it stayed plugged in: not again until it comes back
    int job;         // its job's slot, or -1
    char last[448];  // how its last job ended, the reason whole, for the live line and the log
};

PortJob theJobs[kMaxPorts];
Watched theWatched[kMaxPorts];
int theWatchedCount = 0;
std::atomic<bool> theStopRequested{false};

void OnStopSignal(int)
{
    theStopRequested.store(true);
    for (PortJob& job : theJobs) job.job.running.store(0);
}

void OnJobEnded(void*) { WakeStation(); }

bool TakeStationOption(void* context, int index, const char* value, char* error, size_t errorSize)
{
    StationOptions& options = *static_cast<StationOptions*>(context);
    char* end = nullptr;
    switch (StationOption(index)) {
    case kPort:
        if (options.portCount < kMaxPorts) options.ports[options.portCount++] = value;
        return options.portCount < kMaxPorts || (std::snprintf(error, errorSize, "at most 32 ports"), false);
    case kCount:
        options.count = std::strtoul(value, &end, 10);
        if (*value >= '1' && *value <= '9' && *end == '\0') return true;
        std::snprintf(error, errorSize, "--count takes a number of boards from 1, not '%s'", value);
        return false;
    case kLog: options.log = value; return true;
    case kBaud:
    case kMode:
    case kAnswerTimeout: return TakeJobOption(options.settings, index - kBaud, value, error, errorSize);
    case kVerbose: options.settings.verbose = true; return true;
    case kBase:
    case kRecordSize: return TakeImageOption(options.image, index - kBase, value, error, errorSize);
    }
    return true;
}

Watched* FindWatched(const char* name)
{
    for (int i = 0; i < theWatchedCount; ++i)
        if (std::strcmp(theWatched[i].name, name) == 0) return &theWatched[i];
    if (theWatchedCount == kMaxPorts) return nullptr;
    Watched& added = theWatched[theWatchedCount++];
    added = {};
    std::snprintf(added.name, sizeof added.name, "%s", name);
    added.job = -1;
    return &added;
}

// Which watched ports have a device now: the named ones that exist, or the
// device's own USB ports the port list shows (and their serial numbers).
void LookForDevices(const StationOptions& options)
{
    for (int i = 0; i < theWatchedCount; ++i) theWatched[i].present = false;
    if (options.portCount) {
        for (int i = 0; i < options.portCount; ++i)
            if (Watched* watched = FindWatched(options.ports[i])) watched->present = PortIsPresent(watched->name);
        for (int i = 0; i < theWatchedCount; ++i)
            if (theWatched[i].present && !theWatched[i].serialNumber[0])
                FindSerialNumber(theWatched[i].name, theWatched[i].serialNumber);
        return;
    }
    ListPorts([](void*, const PortListing& port) {
        if (port.kind != PortKind::DeviceUsb) return;
        Watched* watched = FindWatched(port.name);
        if (!watched) return;
        watched->present = true;
        std::memcpy(watched->serialNumber, port.serialNumber, sizeof port.serialNumber);
    }, nullptr);
}

struct Tally {
    unsigned long written, failed, aborted;
};

struct Station {
    const StationOptions& options;
    const FirmwareSnapshot& firmware;
    JobLog& log;
    Tally tally;
    bool logFailed;
    bool terminal;
    int linesDrawn;
    long long total;
    std::chrono::steady_clock::time_point started;
};

int RunningJobs()
{
    int running = 0;
    for (int i = 0; i < theWatchedCount; ++i) running += theWatched[i].job >= 0;
    return running;
}

bool TakesNewDevices(const Station& station)
{
    if (theStopRequested.load() || station.logFailed) return false;
    return !station.options.count || station.tally.written + RunningJobs() < station.options.count;
}

int FreeSlot()
{
    bool used[kMaxPorts] = {};
    for (int i = 0; i < theWatchedCount; ++i)
        if (theWatched[i].job >= 0) used[theWatched[i].job] = true;
    for (int slot = 0; slot < kMaxPorts; ++slot)
        if (!used[slot]) return slot;
    return -1;
}

// " (serial number X)", or nothing where the device has none.
const char* SerialText(const char* serialNumber)
{
    static char text[96];
    text[0] = '\0';
    if (serialNumber[0]) std::snprintf(text, sizeof text, " (serial number %s)", serialNumber);
    return text;
}

// A job for every device that has come and has not been written yet.
void StartJobs(Station& station)
{
    for (int i = 0; i < theWatchedCount; ++i) {
        Watched& watched = theWatched[i];
        if (!watched.present) watched.written = false;
        if (!watched.present || watched.written || watched.job >= 0 || !TakesNewDevices(station)) continue;
        int slot = FreeSlot();
        if (slot < 0) return;
        PortJob& job = theJobs[slot];
        ResetJob(job, watched.name);
        std::memcpy(job.serialNumber, watched.serialNumber, sizeof job.serialNumber);
        job.ended = OnJobEnded;
        watched.job = slot;
        std::snprintf(watched.last, sizeof watched.last, "writing");
        if (!station.terminal) Say(stderr, "%s%s: writing\n", watched.name, SerialText(watched.serialNumber));
        if (OpenJob(job, station.options.settings, station.firmware)) {
            if (theStopRequested.load()) job.job.running.store(0);
            StartJob(job);
        } else {
            job.finished.store(true);  // a port that cannot be opened ends its job at once
        }
    }
}

// Ends the jobs that have finished: outcome, log line, tally.
void FinishJobs(Station& station)
{
    for (int i = 0; i < theWatchedCount; ++i) {
        Watched& watched = theWatched[i];
        if (watched.job < 0 || !theJobs[watched.job].finished.load()) continue;
        PortJob& job = theJobs[watched.job];
        FinishJob(job, station.options.settings);
        watched.job = -1;
        watched.written = true;
        Tally& tally = station.tally;
        ++(job.exitStatus == kExitOk ? tally.written : job.exitStatus == kExitAborted ? tally.aborted : tally.failed);
        if (job.exitStatus == kExitOk)
            std::snprintf(watched.last, sizeof watched.last, "written, %lld bytes in %.1f s", job.sent.load(),
                          job.seconds);
        else
            std::snprintf(watched.last, sizeof watched.last, "%s: %s", ResultName(job.exitStatus), job.reason);
        if (!station.terminal) Say(stderr, "%s%s: %s\n", job.name, SerialText(job.serialNumber), watched.last);
        char error[320];
        if (!station.logFailed && !LogJob(station.log, job, error, sizeof error)) {
            station.logFailed = true;
            Say(stderr, "quorvane-cli station: %s; no new device is taken\n", error);
        }
        if (!station.terminal)
            std::fprintf(stderr, "tally: %lu written, %lu failed, %lu aborted\n", tally.written, tally.failed,
                         tally.aborted);
    }
}

// On a terminal: one line per device and the tally, drawn again in place.
void DrawLiveLines(Station& station)
{
    if (!station.terminal) return;
    if (station.linesDrawn > 0) std::fprintf(stderr, "\x1b[%dA", station.linesDrawn);
    station.linesDrawn = 0;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - station.started).count();
    for (int i = 0; i < theWatchedCount; ++i) {
        const Watched& watched = theWatched[i];
        if (!watched.present && watched.job < 0 && !watched.last[0]) continue;
        char progress[400] = "";
        if (watched.job >= 0) FormatProgress(theJobs[watched.job], station.total, seconds, progress, sizeof progress);
        std::fputs("\r\x1b[K", stderr);
        Say(stderr, "%-28s %-16s %s\n", watched.name, watched.serialNumber[0] ? watched.serialNumber : "-",
            watched.job >= 0 ? progress + std::strlen(watched.name) + 2 : watched.present ? watched.last : "unplugged");
        ++station.linesDrawn;
    }
    std::fprintf(stderr, "\r\x1b[Ktally: %lu written, %lu failed, %lu aborted\n", station.tally.written,
                 station.tally.failed, station.tally.aborted);
    ++station.linesDrawn;
    std::fflush(stderr);
}

bool StationIsDone(const Station& station)
{
    if (RunningJobs() > 0) return false;
    if (theStopRequested.load() || station.logFailed) return true;
    return station.options.count && station.tally.written >= station.options.count;
}

int ExitStatusOf(const Station& station)
{
    if (theStopRequested.load()) return kExitAborted;
    return station.logFailed ? kExitFailed : kExitOk;
}

void PrintStart(const StationOptions& options, const char* file, const FirmwareSnapshot& firmware,
                const FirmwareCheck& check, const JobLog& log)
{
    PrintFirmwareCheck(stderr, file, check, options.settings.baud);
    char sent[65];
    DigestOfSentBytes(firmware, sent);
    std::fprintf(stderr, "image sha256: %s\nsent sha256:  %s\n", firmware.fileSha256, sent);
    if (log.file) Say(stderr, "log: %s\n", log.path);
    if (!options.portCount) {
        std::fprintf(stderr, "waiting for the target device's own USB ports (0d5c:0002); Ctrl-C ends\n");
        return;
    }
    std::fprintf(stderr, "waiting for");
    for (int i = 0; i < options.portCount; ++i) Say(stderr, " %s", options.ports[i]);
    std::fprintf(stderr, "; Ctrl-C ends\n");
}

int RunStation(int argc, char** argv)
{
    static StationOptions options;
    const char* file = nullptr;
    int status = ParseFileCommandLine(kStationCommand, argc, argv, kStationOptions, TakeStationOption, &options, file);
    if (status >= 0) return status;
    CatchStopSignals(OnStopSignal);
    static FirmwareSnapshot firmware;
    static FirmwareCheck check;
    static JobLog log;
    char error[320];
    if (!LoadFirmware(file, options.image, true, firmware, error, sizeof error) ||
        !OpenJobLog(log, options.log, file, firmware, error, sizeof error)) {
        Say(stderr, "quorvane-cli station: %s; nothing was sent\n", error);
        return kExitUsage;
    }
    CheckFirmware(firmware, check);
    if (check.problems) {
        Say(stderr, "quorvane-cli station: %s has problems; nothing was sent\n", file);
        PrintFirmwareCheck(stderr, file, check, options.settings.baud);
        return kExitUsage;
    }
    PrintStart(options, file, firmware, check, log);
    StartDeviceWatch();
    Station station = {options, firmware, log, {0, 0, 0}, false, StderrIsTerminal(), 0, (long long)check.frameData,
                       std::chrono::steady_clock::now()};
    while (!StationIsDone(station)) {
        LookForDevices(options);
        FinishJobs(station);
        StartJobs(station);
        DrawLiveLines(station);
        if (!StationIsDone(station)) WaitForDeviceChange(station.terminal ? 100 : 250);
    }
    FinishJobs(station);
    DrawLiveLines(station);
    if (!station.terminal)
        std::fprintf(stderr, "tally: %lu written, %lu failed, %lu aborted\n", station.tally.written,
                     station.tally.failed, station.tally.aborted);
    CloseJobLog(log);
    ReleaseSnapshot(firmware);
    return ExitStatusOf(station);
}

}  // namespace

const CommandInfo kStationCommand = {
    "station",
    "quorvane-cli station [-p PORT]... [-n COUNT] [-l LOG] [-b BAUD] [-m MODE] [-t SECONDS] [-v]\n"
    "                            [--base ADDRESS] [--record-size N] [--] FILE",
    kStationHelp, RunStation};
