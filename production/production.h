// Production: a port job's life, the record of every job, the port the
// tools remember, the watch for devices that come and go, and the
// station's slots and tally. It decides and keeps records; it never prints:
// what is said of a job is the front end's (cli/).
//
// A port job's calling sequence (write runs several at once, the station
// one per slot):
//   ResetJob(job, name)                  // nothing open yet
//   OpenJob(job, settings, firmware)     // false: job.reason, exit status 4
//   StartJob(job)                        // the worker runs on its own thread
//   ... job.sent, job.answered, job.finished may be read at any time;
//       job.job.running.store(0) is ABORT, from any thread or a signal ...
//   FinishJob(job, settings)             // joins, sets exitStatus and reason, closes the port
// The worker thread writes `sent` and `answered` (in its notifications),
// then `outcome`, `seconds`, `endedAt` and last `finished`; the thread that
// started the job owns every other field, and reads the worker's only
// after `finished` (or FinishJob) for all but `sent` and `answered`.
//
// A station's: ResetStation, then in a loop LookForDevices, FinishNextBoard
// and StartNextBoard until they return -1 (each returns the slot it changed,
// so that the front end can say so) and RunOpenedBoards, until
// StationIsDone; StopStation is ABORT for all of it, from a signal handler
// too.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "image.h"
#include "port.h"
#include "recipe.h"
#include "transfer.h"

// Exit statuses, one meaning each, the same for every command; a job's
// own status is one of 0, 1, 3 and 4.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;         // the write failed (or, for frames, would fail)
constexpr int kExitUsage = 2;          // bad arguments, or a file that cannot be read or has problems
constexpr int kExitAborted = 3;        // Ctrl-C and the other stop signals
constexpr int kExitPortNotOpened = 4;  // the port could not be found or opened

constexpr int kMaxPorts = 32;

// How every job of one command drives its port.
struct JobSettings {
    unsigned long baud;
    AnswerMode mode;
    double answerTimeoutSeconds;  // 0: for ever
};

struct PortJob {
    char name[256];
    Port* port;
    PortKind kind;
    char otherHolder[96];         // another program with the port open, if any
    char latencyNote[160];        // what was done for a prompt answer, or why not ("" if nothing)
    char lineNote[160];           // line settings the adapter did not take ("" if it took them all)
    char serialNumber[64];        // the USB device's, where it has one
    WriteJob job;
    std::atomic<long long> sent;
    std::atomic<unsigned long> answered;   // frames the device has taken
    std::atomic<bool> finished;
    WriteOutcome outcome;
    double seconds;
    int exitStatus;
    char reason[400];
    std::chrono::system_clock::time_point startedAt, endedAt;
    // The front end's own, for what it says while the job runs.
    long long lastReported;      // the total last shown as a progress event
    bool warnedFirstAnswer;
    std::thread thread;
    // Where nothing is read between frames, they go out gathered: a write of
    // up to 64 KiB, or of a tenth of a second on a slow line, so that ABORT
    // (looked at before each write) stays prompt.
    uint8_t batch[65536];
    // Called on the worker's thread as the job ends, after `finished`.
    void (*ended)(void* context);
    void* endedContext;
};

// A job for the port `name`, nothing open yet.
void ResetJob(PortJob& job, const char* name);

// Opens the job's port over `firmware`; false (with the reason and exit
// status 4) when it cannot be opened.
bool OpenJob(PortJob& job, const JobSettings& settings, const FirmwareSnapshot& firmware);

void StartJob(PortJob& job);

// Waits for the job, sets its exit status and reason, and closes its port.
void FinishJob(PortJob& job, const JobSettings& settings);

// A serial device that has not answered the very first frame after a few
// seconds: true once, so that the front end tells the likely causes once.
bool FirstAnswerIsLate(PortJob& job, std::chrono::steady_clock::duration waited);

// The USB serial number of the device on `name`, from the port list; "" if
// none is known.
void FindSerialNumber(const char* name, char (&serialNumber)[64]);

// "written", "failed", "aborted", "not opened".
const char* ResultName(int exitStatus);

// ---- the job log ---------------------------------------------------------

// One JSON line per job, appended and flushed as each job ends, so that a
// crash loses at most the jobs under way. Opened by OpenJobLog, which owns
// every field; the caller keeps `path`'s and `firmwareName`'s text alive,
// and the recipe and version's, for OpenRecipeLog.
struct JobLog {
    FILE* file;          // null: no log asked for
    const char* path;
    char host[128];
    const char* firmwareName;
    const char* fileSha256;
    char sentSha256[65];  // of the bytes a job sends, start to end sequence
    // Under a recipe: its fields on every line, and `prev`, the chain.
    const Recipe* recipe; // null: lines as without one
    const char* version;  // the tool's
    char prev[65];        // SHA-256 of the file's last line, without its line feed
};

// Opens `path` for appending (null: no log); false with the reason.
bool OpenJobLog(JobLog& log, const char* path, const char* firmwareName, const FirmwareSnapshot& firmware,
                Failure& failure);

// Opens the recipe's log at `path` (recipe.log, or the command line's where
// the recipe names none; null: no log) and finds the digest of its last
// line, so that the chain goes on across runs.
bool OpenRecipeLog(JobLog& log, const char* path, const Recipe& recipe, const char* version,
                   const FirmwareSnapshot& firmware, Failure& failure);

// What a recipe's line tells of one board, beyond the job.
struct BoardRecord {
    const char* slot;
    unsigned attempt;            // from 1
    bool hasSerial;
    unsigned long long serial;
    SerialOutcome serialState;
    const char* sentSha256;      // of the bytes this board was sent
};

// The job's line; false, with the reason, once the log can no longer be
// written (the disk full, the file removed). `board` only under a recipe.
bool LogJob(JobLog& log, const PortJob& job, Failure& failure, const BoardRecord* board = nullptr);

// The line of a number a stopped station left handed out: spent, `unknown`.
bool LogUnknownSerial(JobLog& log, unsigned long long serial, Failure& failure);

// The first line of a log whose `prev` is not the SHA-256 of the line
// before it (64 zeros on the first); 0 when the chain holds.
unsigned long FirstBrokenLine(const char* text, size_t size, Failure& failure);

// What a log records, by recipe, in the order recipes first appear.
struct LogSummary {
    std::string recipe;
    unsigned long written, failed;             // job lines (attempts) by result
    std::vector<unsigned long long> serialsWritten, serialsSpent, serialsUnknown;
};
void SummarizeLog(const char* text, size_t size, std::vector<LogSummary>& summaries);

// The log can still take a line: flushed without an error, and its file
// still has a name. False, with the reason, otherwise.
bool JobLogIsWritable(JobLog& log, Failure& failure);

void CloseJobLog(JobLog& log);

// ---- the remembered port ---------------------------------------------------

// The port and baud rate remembered between runs: the Windows program's
// settings file (on Linux the same format under ~/.config/quorvane). A port
// the port code cannot hold (a device path) is kept under "DEVICE".
struct Remembered {
    char port[256];  // empty: none remembered
    unsigned long baud;
};
Remembered LoadRemembered();
// False, with what was attempted and why, when the settings file could not
// be written.
bool SaveRemembered(const char* port, unsigned long baud, Failure& failure);

// ---- the host ----------------------------------------------------------------

// What the station sleeps on: a device that comes or goes (udev's kernel
// events, where the system has them) or WakeStation from a job's thread;
// at the latest after `ms` in any case, so that polling finds the rest.
void StartDeviceWatch();
void WaitForDeviceChange(int ms);
void WakeStation();

// This machine's name, for the job log.
void HostName(char* name, size_t size);

// The open file has lost its last name (someone removed it).
bool FileWasRemoved(FILE* file);

// Both paths name the same file (false where the system cannot tell).
bool IsSameFile(const char* a, const char* b);

// ---- the station ---------------------------------------------------------------

// A port the station watches, and what it knows of the device there.
struct StationSlot {
    char name[256];
    char serialNumber[64];  // the USB device's, looked up once each time it comes
    bool present;
    bool serialNumberKnown;  // looked up for the device there now (a named port)
    bool written;    // its job ended while it stayed plugged in: not again until it comes back
    int job;         // its job's index in Station::jobs, or -1
    char last[448];  // how its last job ended, the reason whole, for the live line and the log
    int lastExitStatus;  // of its last job, once `written`
    int lastJob;         // its last job's index in Station::jobs, until another job takes that index
    // Under a recipe with [serial]: the number its board holds while its job
    // runs, then how that number ended with the last job.
    bool hasSerial;
    unsigned long long serial;
    SerialOutcome serialState;
    LineWatch* fixture;  // the fixture's modem line, watched while the slot waits after its board
};

// How the station watches a fixture's modem line: the port's own watch
// (kPortLineWatch) unless a test gives one of its own.
struct LineWatchSeam {
    LineWatch* (*watch)(const char* port, ModemLine line, Failure& failure);
    bool (*rose)(LineWatch* watch);
    void (*stop)(LineWatch* watch);
};
extern const LineWatchSeam kPortLineWatch;

struct StationTally {
    unsigned long written, failed, aborted;
};

// A board's run under a recipe, while its slot's job goes on: its number,
// the attempt and the bytes it is sent. The station owns it, by job index.
struct BoardRun {
    bool holdsSerial;          // a number is out for this board
    unsigned long long serial;
    unsigned attempt;          // from 1
    bool serialWentOut;        // an earlier attempt may have sent it: spent whatever follows
    BoardImage image;          // the snapshot with the number patched in
    FirmwareSnapshot snapshot; // what the job reads: `image`, or the shared snapshot
    char sentSha256[65];       // of every byte this board's job sends
};

// What a station under a recipe keeps beyond its slots: filled by
// StartRecipeRun, then the station's own.
struct StationRecipe {
    const Recipe* recipe;
    SerialState state;
    BoardRun boards[kMaxPorts];
};

// The caller fills the first group, then ResetStation clears the rest but
// `stopRequested`, which only StopStation sets: a stop signal that comes
// before the station starts still stops it.
struct Station {
    const char* const* ports;     // the ports to watch; none: the device's own USB ports
    int portCount;
    unsigned long count;          // end after this many boards written; 0: until stopped
    JobSettings settings;
    const FirmwareSnapshot* firmware;
    JobLog* log;
    StationRecipe* recipe;        // null: every board the same bytes, no quota, no retries
    bool once;                    // each slot takes one board (and its retries), then the station is done
    const LineWatchSeam* lineWatch;  // null: kPortLineWatch

    StationSlot slots[kMaxPorts];
    int slotCount;
    PortJob jobs[kMaxPorts];
    StationTally tally;
    bool logFailed;               // the log can no longer be written: no new board
    Failure logFailure;           // why
    bool paused;                  // the front end's: no new board until it is cleared; jobs under way finish
    std::atomic<bool> stopRequested;
};

void ResetStation(Station& station);

// Under a recipe with [serial]: opens the state file (OpenSerialState);
// of the numbers a stopped station left out, counts as written those whose
// "written" record is in `log` already and logs the rest as `unknown`; then
// saves the state. False, before any port is opened, when any of it cannot
// be done.
bool StartRecipeRun(StationRecipe& run, JobLog& log, Failure& failure);

// Boards written under the recipe: across restarts where the state file
// counts them, else in this run.
unsigned long BoardsWritten(const Station& station);

// ABORT for every job under way, and no new board; async-signal-safe.
void StopStation(Station& station);

// Which watched ports have a device now: the named ones that exist, or the
// device's own USB ports the port list shows (and their serial numbers).
void LookForDevices(Station& station);

// The slot `name` (added if new) is there or not, with its serial number;
// false when every slot is taken. LookForDevices is made of these.
bool SeeSlot(Station& station, const char* name, bool present, const char* serialNumber);

// Opens the port of the next board that has come and has not been written
// yet, while the station takes boards, and returns its slot; -1 when there
// is none. Its job runs from the next RunOpenedBoards. The log is looked at
// first, every time: one that can no longer be written sets logFailed, so
// that no board is written without its record. A port that cannot be
// opened ends its job at once (the next FinishNextBoard tells it).
int StartNextBoard(Station& station);

// Starts the jobs of the ports StartNextBoard (and a retry) opened. Boards
// that come together start together: opening a port takes milliseconds of
// looking at the system, which would otherwise be taken from the jobs
// already under way.
void RunOpenedBoards(Station& station);

// Ends the next job that has finished (outcome, `last`, tally, log line)
// and returns its slot; -1 when none has. The first log line that fails
// sets logFailed and logFailure.
int FinishNextBoard(Station& station);

// The slot `name` takes its next board though its port never went away (a
// fixed line whose boards are swapped behind it); false with the reason
// when there is no such slot or its job is still running.
bool TakeNextBoard(Station& station, const char* name, Failure& failure);

// Under a recipe that names a modem line for a slot whose port stays
// (station.next_board_line): the line is watched while the slot waits
// after its board, and its rise takes the next board, as TakeNextBoard.
// Returns the slot that takes one; -1 when none does.
int WatchFixtureLines(Station& station);

// A slot's state in a word: "waiting", "writing", "unplugged", or how its
// last job ended ("written", "failed", "aborted", "not opened").
const char* SlotState(const StationSlot& slot);

int RunningJobs(const Station& station);
bool StationIsDone(const Station& station);
int StationExitStatus(const Station& station);
