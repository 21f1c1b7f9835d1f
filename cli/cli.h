// quorvane-cli: its commands, the strict check of a firmware file, the
// option parser the tools share, and what the commands print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>

#include "transfer.h"

// A function that takes a printf format at FORMAT and its values from
// FIRST: the compiler checks each call as the C99 printf every build uses
// (MinGW's "printf" is Microsoft's, which lacks %zu; clang knows only "printf").
#if defined(__clang__)
#define QUORVANE_PRINTF(FORMAT, FIRST) __attribute__((format(printf, FORMAT, FIRST)))
#else
#define QUORVANE_PRINTF(FORMAT, FIRST) __attribute__((format(gnu_printf, FORMAT, FIRST)))
#endif

// Exit statuses, one meaning each, the same for every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;         // the write failed (or, for frames, would fail)
constexpr int kExitUsage = 2;          // bad arguments, or a file that cannot be read or has problems
constexpr int kExitAborted = 3;        // Ctrl-C and the other stop signals
constexpr int kExitPortNotOpened = 4;  // the port could not be found or opened

// A command of quorvane-cli: its name, its usage line (after "usage: "),
// the rest of its help, and what runs it with argv[0] = the name.
struct CommandInfo {
    const char* name;
    const char* usage;
    const char* help;
    int (*run)(int argc, char** argv);
};

extern const CommandInfo kWriteCommand, kCheckCommand, kFramesCommand, kPortsCommand, kConvertCommand,
    kStationCommand;

// The usage line and the help of `command` on standard output.
int ShowHelp(const CommandInfo& command);

// A mistake on the command line: the reason, the one usage line and where
// the help is, on standard error (and an outcome event when --json was
// asked for); returns kExitUsage.
int UsageError(const CommandInfo& command, bool json, const char* format, ...) QUORVANE_PRINTF(3, 4);

// --json (or -j) stands among the options of argv.
bool WantsJson(int argc, char** argv);

// ---- options -------------------------------------------------------------

// One option of a command: "--name" with its short letter (0: none), and
// whether a value follows ("--name VALUE" or "--name=VALUE"), or may follow
// ("--name=VALUE" only; the value is null without it).
struct CommandOption {
    const char* name;
    char letter;
    bool takesValue;
    bool valueOptional = false;
};

constexpr int kMaxOperands = 4;

struct CommandLine {
    const char* operands[kMaxOperands];  // the arguments that are not options, in order
    int operandCount;
    bool help;                           // -h or --help, which every command takes
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

// The command line of a command that works on one FILE: parsed against its
// table, with its help shown or its mistake told (as JSON too when the
// table has --json and it was given). -1 with `file` set when the command
// is to run; else the exit status to return.
int ParseFileCommandLine(const CommandInfo& command, int argc, char** argv, const CommandOption* options,
                         int optionCount, TakeOption take, void* context, const char*& file);

template <size_t N>
int ParseFileCommandLine(const CommandInfo& command, int argc, char** argv, const CommandOption (&options)[N],
                         TakeOption take, void* context, const char*& file)
{
    return ParseFileCommandLine(command, argc, argv, options, int(N), take, context, file);
}

// ---- the firmware ------------------------------------------------------------

// Far above any image the device's line can carry in a day.
constexpr size_t kMaxImageSize = size_t(256) << 20;

// The firmware file's bytes, read once; read-only from then on. An Intel
// HEX file or a raw binary is held as the S-records it converts to.
struct FirmwareSnapshot {
    char* bytes;
    size_t size;
    bool converted;        // the bytes are S-records made from the file
    char fileSha256[65];   // of the file's own bytes, as read; "" unless asked for
};

// How a file that is not S-records becomes S-records.
struct ImageOptions {
    bool hasBase = false;       // --base: the file is a raw binary loaded there
    uint32_t base = 0;
    unsigned recordSize = 0;    // --record-size: data bytes per S3 record; 0: the default
};

// The option rows every command that reads firmware has, and what takes them.
extern const CommandOption kImageOptions[2];
bool TakeImageOption(ImageOptions& image, int which, const char* value, char* error, size_t errorSize);

// TakeSnapshot, then the conversion an Intel HEX file (or, with --base, a
// raw binary) needs; a file of another kind (ELF, ...) is refused with what
// it looks like and what to do. The file's digest only `withDigest`: hashing
// costs more than encoding, and only a write's record shows it.
bool LoadFirmware(const char* path, const ImageOptions& image, bool withDigest, FirmwareSnapshot& firmware,
                  char* error, size_t errorSize);

// Reads all of `path` ("-": standard input) into `snapshot`; false with the
// reason (a directory, a read error, more than kMaxImageSize) otherwise.
bool TakeSnapshot(const char* path, FirmwareSnapshot& snapshot, char* error, size_t errorSize);
void ReleaseSnapshot(FirmwareSnapshot& snapshot);

// ---- the strict check --------------------------------------------------------

// The worker itself is lenient (it never verifies a record's checksum, for
// one), so the command line checks what the device would otherwise be given
// blindly: the same lines the worker reads, through the same line reader.
constexpr int kMaxReportedProblems = 20;

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

    // Something worth saying that is no problem: a DOS end-of-file mark
    // (^Z) after the termination record, which the device never gets.
    unsigned long noteLine = 0;          // 0: nothing to say
    char note[120] = "";
};

// Looks at every line of the firmware and fills `check`.
void CheckFirmware(const FirmwareSnapshot& firmware, FirmwareCheck& check);

// Bytes on the wire for a whole job: start, frames, end, and one answer byte
// per frame when the device answers.
unsigned long long WireBytes(const FirmwareCheck& check, bool answered);

// Prints the summary, the note and every kept problem; or all of it as one
// JSON "check" event.
void PrintFirmwareCheck(FILE* out, const char* path, const FirmwareCheck& check, unsigned long baud);
void PrintFirmwareCheckJson(FILE* out, const char* path, const FirmwareCheck& check, unsigned long baud);

// ---- what the commands share ------------------------------------------------

// `text` as a JSON string, quotes included: control characters escaped,
// bytes that are not UTF-8 taken as Latin-1, so the JSON is always valid.
void PrintJsonString(FILE* out, const char* text);

// `text` with its control characters (line feeds apart) and its bytes that
// are not UTF-8 shown as \xNN: text from outside never acts on a terminal.
void PrintText(FILE* out, const char* text);

// printf, then PrintText.
void Say(FILE* out, const char* format, ...) QUORVANE_PRINTF(2, 3);

// Flushes standard output: `status` when all of it went out, else a message
// naming standard output and at least the usage status (2).
int FinishOutput(const char* command, int status);

// Standard input and output carry raw bytes unchanged (no CR dropped or
// inserted on Windows).
void SetBinaryStdin();
void SetBinaryStdout();

bool StderrIsTerminal();

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
