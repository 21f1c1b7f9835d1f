// quorvane-cli: its commands, the strict check of a firmware file, the
// option parser the tools share, and what the commands print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>

#include "transfer.h"

// Exit statuses, the same for every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the job would fail, or the file has problems
constexpr int kExitUsage = 2;   // bad arguments, or a file that cannot be opened

// Each takes argv[0] = the command's name, then its arguments.
int RunFramesCommand(int argc, char** argv);
int RunCheckCommand(int argc, char** argv);
int RunWriteCommand(int argc, char** argv);
int RunPortsCommand(int argc, char** argv);

// ---- options -------------------------------------------------------------

// One option of a command: "--name" with its short letter (0: none), and
// whether a value follows ("--name VALUE" or "--name=VALUE").
struct CommandOption {
    const char* name;
    char letter;
    bool takesValue;
};

constexpr int kMaxOperands = 4;

struct CommandLine {
    const char* operands[kMaxOperands];  // the arguments that are not options, in order
    int operandCount;
    char error[200];                     // why parsing stopped, when it failed
};

// Takes option `index` of the table with its value (null for a flag);
// false with a reason in `error` when the value is not acceptable.
using TakeOption = bool (*)(void* context, int index, const char* value, char* error, size_t errorSize);

// For a table of flags alone: `context` is a bool per option, set when given.
bool TakeFlag(void* context, int index, const char* value, char* error, size_t errorSize);

// Parses argv[1..argc) against the table: options in any order, before or
// after the operands; "--" ends the options. False (with `line.error`) for
// an unknown option, a missing value, a refused value or too many operands.
bool ParseCommandLine(int argc, char** argv, const CommandOption* options, int optionCount, TakeOption take,
                      void* context, CommandLine& line);

template <size_t N>
bool ParseCommandLine(int argc, char** argv, const CommandOption (&options)[N], TakeOption take, void* context,
                      CommandLine& line)
{
    return ParseCommandLine(argc, argv, options, int(N), take, context, line);
}

// ---- the strict check --------------------------------------------------------

// The worker itself is lenient (it never verifies a record's checksum, for
// one), so the command line checks what the device would otherwise be given
// blindly: the same lines the worker reads, through the same line reader.
constexpr int kMaxReportedProblems = 50;

struct FirmwareCheck {
    unsigned long lines = 0;
    unsigned long records[10] = {};      // by type digit S0..S9
    unsigned long long dataBytes = 0;    // of S1/S2/S3 records
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

    // What a write job does with these lines, as the worker would do it.
    unsigned long frames = 0;            // frames it sends
    unsigned long long frameBytes = 0;   // bytes of those frames
    unsigned long long frameData = 0;    // their LEN fields added up: what progress counts
    WriteFailure jobFailure = WriteFailure::None;  // None: it reaches its termination record
    unsigned long jobLine = 0;           // the line the job ends at, as the worker counts
    bool jobOver = false;                // the job stops at jobLine; later lines are only checked
};

// Reads the whole file and fills `check`. False only when the file cannot be
// read; problems with its content are in `check`.
bool CheckFirmware(FILE* source, FirmwareCheck& check);

// Bytes on the wire for a whole job: start, frames, end, and one answer byte
// per frame when the device answers.
unsigned long long WireBytes(const FirmwareCheck& check, bool answered);

// Prints the summary and every kept problem.
void PrintFirmwareCheck(FILE* out, const char* path, const FirmwareCheck& check, unsigned long baud);

// ---- what the commands share ------------------------------------------------

// `text` as a JSON string, quotes included.
void PrintJsonString(FILE* out, const char* text);

// Standard output carries raw bytes unchanged (no CR inserted on Windows).
void SetBinaryStdout();

bool StderrIsTerminal();

// The port and baud rate remembered between runs: the Windows program's
// settings file (on Linux the same format under ~/.config/quorvane). A port
// the port code cannot hold (a device path) is kept under "DEVICE".
struct Remembered {
    char port[256];  // empty: none remembered
    unsigned long baud;
};
Remembered LoadRemembered();
void SaveRemembered(const char* port, unsigned long baud);
