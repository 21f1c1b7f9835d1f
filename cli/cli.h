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

// ---- the firmware ------------------------------------------------------------

// Far above any image the device's line can carry in a day.
constexpr size_t kMaxImageSize = size_t(256) << 20;

// The firmware file's bytes, read once; read-only from then on.
struct FirmwareSnapshot {
    char* bytes;
    size_t size;
};

// Reads all of `path` ("-": standard input) into `snapshot`; false with the
// reason (a directory, a read error, more than kMaxImageSize) otherwise.
bool TakeSnapshot(const char* path, FirmwareSnapshot& snapshot, char* error, size_t errorSize);
void ReleaseSnapshot(FirmwareSnapshot& snapshot);

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

// Looks at every line of the firmware and fills `check`.
void CheckFirmware(const FirmwareSnapshot& firmware, FirmwareCheck& check);

// Bytes on the wire for a whole job: start, frames, end, and one answer byte
// per frame when the device answers.
unsigned long long WireBytes(const FirmwareCheck& check, bool answered);

// Prints the summary and every kept problem.
void PrintFirmwareCheck(FILE* out, const char* path, const FirmwareCheck& check, unsigned long baud);

// ---- what the commands share ------------------------------------------------

// `text` as a JSON string, quotes included: control characters escaped,
// bytes that are not UTF-8 taken as Latin-1, so the JSON is always valid.
void PrintJsonString(FILE* out, const char* text);

// `text` with its control characters (line feeds apart) and its bytes that
// are not UTF-8 shown as \xNN: text from outside never acts on a terminal.
void PrintText(FILE* out, const char* text);

// printf, then PrintText.
void Say(FILE* out, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));

// Flushes standard output: `status` when all of it went out, else a message
// naming standard output and at least the usage status (2).
int FinishOutput(const char* command, int status);

// Standard input and output carry raw bytes unchanged (no CR dropped or
// inserted on Windows).
void SetBinaryStdin();
void SetBinaryStdout();

bool StderrIsTerminal();

// Both paths name the same file (false where the system cannot tell).
bool IsSameFile(const char* a, const char* b);

// Ctrl-C, SIGTERM and, where the system has them, a hang-up, SIGQUIT and a
// closed output pipe all call `stop`, which must be async-signal-safe.
void CatchStopSignals(void (*stop)(int));

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
bool SaveRemembered(const char* port, unsigned long baud, char* error, size_t errorSize);
