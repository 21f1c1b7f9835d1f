// One device's write job on a thread of its own, as `write` and `station`
// run them: opening its port, running the worker, saying how it went.
// Inside cli/ only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli.h"
#include "port.h"
#include "transfer.h"

constexpr int kMaxPorts = 32;

// What every job of one command shares.
struct JobSettings {
    unsigned long baud;
    AnswerMode mode;
    double answerTimeoutSeconds;
    bool verbose;      // say how each port is driven
    bool json;         // messages as JSON events on standard output
};

// The rows write and station share: -b/--baud, -m/--mode and
// -t/--answer-timeout, and what takes them (`which` counts from 0).
extern const CommandOption kJobOptions[3];
bool TakeJobOption(JobSettings& settings, int which, const char* value, char* error, size_t errorSize);

// An answer timeout, or a wait: 0 (for ever) or 1 ms to a day; NaN never.
bool ParseSeconds(const char* value, double& seconds);

// The worker thread writes `sent` and `answered` (in its notifications),
// then `outcome`, `seconds` and last `finished`; whoever started the job
// reads those and owns everything else.
struct PortJob {
    char name[256];
    Port* port;
    PortKind kind;
    char otherHolder[96];         // another program with the port open, if any
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
    long long lastReported;      // the total last shown as a JSON progress event
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
// status 4) when it cannot be opened. Says, when asked, how it is driven.
bool OpenJob(PortJob& job, const JobSettings& settings, const FirmwareSnapshot& firmware);

void StartJob(PortJob& job);

// Waits for the job, sets its exit status and reason, and closes its port.
void FinishJob(PortJob& job, const JobSettings& settings);

// The USB serial number of the device on `name`, from the port list; "" if
// none is known.
void FindSerialNumber(const char* name, char (&serialNumber)[64]);

// "written", "failed", "aborted", "not opened".
const char* ResultName(int exitStatus);

// "PORT: 14432 of 16384 bytes,  88%, 2884 bytes/s, 1 s left" and, once the
// job has ended, ", done", ", failed" or ", aborted".
void FormatProgress(const PortJob& job, long long total, double seconds, char* text, size_t size);

// The outcome line on standard error, or the JSON outcome event.
void PrintOutcome(const PortJob& job, const JobSettings& settings, bool quiet);

// A serial device that has not answered the very first frame after a few
// seconds is told about at once, with the likely causes.
void WarnIfFirstAnswerLate(PortJob& job, const JobSettings& settings, std::chrono::steady_clock::duration waited);

// ---- the job log ---------------------------------------------------------

// One JSON line per job, appended and flushed as each job ends, so that a
// crash loses at most the jobs under way.
struct JobLog {
    FILE* file;          // null: no log asked for
    const char* path;
    char host[128];
    const char* firmwareName;
    const char* fileSha256;
    char sentSha256[65];  // of the bytes a job sends, start to end sequence
};

// Opens `path` for appending (null: no log); false with the reason.
bool OpenJobLog(JobLog& log, const char* path, const char* firmwareName, const FirmwareSnapshot& firmware,
                char* error, size_t errorSize);

// The job's line; false, with the reason, once the log can no longer be
// written (the disk full, the file removed).
bool LogJob(JobLog& log, const PortJob& job, char* error, size_t errorSize);

void CloseJobLog(JobLog& log);

// SHA-256 of everything a job sends for the firmware.
void DigestOfSentBytes(const FirmwareSnapshot& firmware, char (&hex)[65]);
