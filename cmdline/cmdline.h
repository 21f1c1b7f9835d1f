// The kit every tool's command line is made of: option rows bound to the
// fields they set, one parser over them, and text that comes from outside
// (port names, file names, USB strings) printed so that it cannot act on a
// terminal. quorvane-cli and quorvane-sim share it; it knows no command.
//
// Calling sequence, for a command with its options in a struct:
//   struct Options { bool force = false; const char* log = nullptr; } options;
//   const CommandOption rows[] = {
//       FlagRow('f', "force", options.force),
//       TextRow('l', "log", options.log),
//       ValueRow('b', "baud", &options.baud, TakeBaud),
//   };
//   CommandLine line;
//   if (!ParseCommandLine(argc, argv, rows, line)) ... line.error says why
//   if (line.help) ...; line.operands[0..operandCount) are the rest
// The rows are the caller's and point into the caller's struct; the parser
// writes only through them, each row's `take` when its option is given.
#pragma once

#include <cstddef>
#include <cstdio>

#include "conversions.h"  // QUORVANE_PRINTF, PrintJsonString

// ---- options ---------------------------------------------------------------

enum class OptionValue {
    None,      // a flag: "--name"
    Required,  // "--name VALUE" or "--name=VALUE"
    Optional,  // "--name" or "--name=VALUE" (the value is null without it)
};

struct CommandOption;

// Takes the option's value (null for a flag, or an optional value not
// given) into row.field; false with a reason in `error` when the value is
// not acceptable.
using TakeOptionValue = bool (*)(const CommandOption& row, const char* value, char* error, size_t errorSize);

// One option of a command: "--name" with its short letter (0: none), bound
// to the field it sets and the function that sets it. `detail` is for the
// take function alone (a number's range, say).
struct CommandOption {
    const char* name;
    char letter;
    OptionValue value;
    void* field;
    TakeOptionValue take;
    const void* detail;
};

bool TakeFlagValue(const CommandOption& row, const char* value, char* error, size_t errorSize);
bool TakeTextValue(const CommandOption& row, const char* value, char* error, size_t errorSize);

// A flag that sets `field` to true.
inline CommandOption FlagRow(char letter, const char* name, bool& field)
{
    return {name, letter, OptionValue::None, &field, TakeFlagValue, nullptr};
}

// An option whose value, whatever it is, is kept in `field`.
inline CommandOption TextRow(char letter, const char* name, const char*& field)
{
    return {name, letter, OptionValue::Required, &field, TakeTextValue, nullptr};
}

// An option whose value `take` checks and converts into `field`.
inline CommandOption ValueRow(char letter, const char* name, void* field, TakeOptionValue take,
                              const void* detail = nullptr)
{
    return {name, letter, OptionValue::Required, field, take, detail};
}

// The same, where the value may be left out ("--wait" or "--wait=5").
inline CommandOption OptionalValueRow(char letter, const char* name, void* field, TakeOptionValue take)
{
    return {name, letter, OptionValue::Optional, field, take, nullptr};
}

constexpr int kMaxOperands = 4;

struct CommandLine {
    const char* operands[kMaxOperands];  // the arguments that are not options, in order
    int operandCount;
    bool help;                           // -h or --help, which every command takes
    char error[200];                     // why parsing stopped, when it failed
};

// Parses argv[1..argc) against the rows: options in any order, before or
// after the operands; "--" ends the options. False (with `line.error`) for
// an unknown option, a missing value, a refused value or too many operands.
bool ParseCommandLine(int argc, char** argv, const CommandOption* rows, int rowCount, CommandLine& line);

template <size_t N>
bool ParseCommandLine(int argc, char** argv, const CommandOption (&rows)[N], CommandLine& line)
{
    return ParseCommandLine(argc, argv, rows, int(N), line);
}

// `letter` stands among the options of argv (as -x or its --name): read
// before parsing, so that a mistake can be told in the form asked for.
bool AsksFor(int argc, char** argv, char letter, const char* name);

// ---- text --------------------------------------------------------------------

// PrintJsonString (conversions.h) writes text from outside as JSON.

// `text` with its control characters (line feeds apart) and its bytes that
// are not UTF-8 shown as \xNN: text from outside never acts on a terminal.
void PrintText(FILE* out, const char* text);

// printf, then PrintText.
void Say(FILE* out, const char* format, ...) QUORVANE_PRINTF(2, 3);

// ---- the process ---------------------------------------------------------------

// Standard input and output carry raw bytes unchanged (no CR dropped or
// inserted on Windows).
void SetBinaryStdin();
void SetBinaryStdout();

// Standard error is a terminal on which live lines can be redrawn: a
// terminal on Linux, a console on Windows.
bool StderrIsTerminal();

// Standard input is a terminal someone types on.
bool StdinIsTerminal();

// Enter was pressed on that terminal since the last look; never waits.
bool EnterWasPressed();

// Redrawing on that terminal: the cursor up `lines` lines; the line it is on
// cleared, the cursor at its start. Escapes on a Linux terminal (ESC [ N A,
// and CR ESC [ K); on a Windows console, the console's own calls.
void MoveUpLines(int lines);
void ClearLine();

// Ctrl-C, SIGTERM and, where the system has them, a hang-up, SIGQUIT and a
// closed output pipe all call `stop`, which must be async-signal-safe. On
// Windows: Ctrl-C, Ctrl-Break, closing the console, log-off and shut-down,
// each given the time to put the ports back before the system ends the
// process.
void CatchStopSignals(void (*stop)(int));

// After a flush of standard output: where a closed pipe raises no signal
// (Windows), a write that failed on a pipe calls the `stop` of
// CatchStopSignals, so that the jobs abort at their next step there too.
void StopIfOutputClosed();

// The process's arguments as UTF-8, so that any file name the system can
// store is opened and shown as it is: on Windows from the wide-character
// command line (argv there is in the ANSI code page), and a console shows
// UTF-8 until the process ends; elsewhere argv itself. Called once, first.
char** TakeArgumentsInUtf8(int argc, char** argv);
