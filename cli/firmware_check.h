// A strict look at an S-record file before anything is sent: the worker
// itself is lenient (it never verifies a record's checksum, for one), so the
// command line checks what the device would otherwise be given blindly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>

constexpr int kMaxReportedProblems = 50;

struct FirmwareCheck {
    unsigned long lines = 0;
    unsigned long records[10] = {};      // by type digit S0..S9
    unsigned long long dataBytes = 0;    // of S1/S2/S3 records
    unsigned long frames = 0;            // frames a write job sends
    unsigned long long frameBytes = 0;   // bytes of those frames
    unsigned long long frameData = 0;    // their LEN fields added up: what progress counts
    // Merged data ranges: first address -> one past the last.
    std::map<unsigned long long, unsigned long long> ranges;
    unsigned long dataRecords = 0;       // S1-S3 records, for the S5/S6 check
    bool terminated = false;             // a termination record was read
    unsigned long problems = 0;          // all problems found
    int reported = 0;                    // problems kept below
    struct Problem {
        unsigned long line;
        char text[120];
    } problem[kMaxReportedProblems];
};

// Reads the whole file and fills `check`. False only when the file cannot be
// read; problems with its content are in `check`.
bool CheckFirmware(FILE* source, FirmwareCheck& check);

// Bytes on the wire for a whole job: start, frames, end, and one answer byte
// per frame when the device answers.
unsigned long long WireBytes(const FirmwareCheck& check, bool answered);

// Prints the summary and every kept problem.
void PrintFirmwareCheck(FILE* out, const char* path, const FirmwareCheck& check, long baud);
