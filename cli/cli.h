// quorvane-cli: its commands and what they print. What the commands decide
// lives below (image/, production/); the option kit in cmdline/.
//
// A command's calling sequence:
//   Options options;  const CommandOption rows[] = {... bound to options ...};
//   const char* file;  int status;
//   if (!ParseFileCommandLine(kXCommand, argc, argv, rows, file, status)) return status;
//   ... LoadFirmware, jobs, with what they say printed through report.cpp ...
//   return FinishOutput("x", status);
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>

#include "cmdline.h"
#include "image.h"
#include "production.h"

// A command of quorvane-cli: its name, its usage line (after "usage: "),
// the rest of its help, and what runs it with argv[0] = the name.
struct CommandInfo {
    const char* name;
    const char* usage;
    const char* help;
    int (*run)(int argc, char** argv);
};

extern const CommandInfo kWriteCommand, kCheckCommand, kFramesCommand, kPortsCommand, kConvertCommand,
    kStationCommand, kRecipeCommand, kLogCommand;

// `log replay`: a log's records to the broker (log_replay.cpp), from
// `log`'s own argv.
int RunLogReplay(int argc, char** argv);

// The usage line and the help of `command` on standard output.
int ShowHelp(const CommandInfo& command);

// A mistake on the command line: the reason, the one usage line and where
// the help is, on standard error (and an outcome event when --json was
// asked for); returns kExitUsage.
int UsageError(const CommandInfo& command, bool json, const char* format, ...) QUORVANE_PRINTF(3, 4);

// The command line of a command that works on one FILE: parsed against its
// rows, with its help shown or its mistake told (as JSON too when the rows
// have -j and it was given). True with `file` set when the command is to
// run; else false with the exit status to return. Standard input ("-") is
// made binary here, once for every command. Where `recipe` points at a
// field a row sets, a recipe given there names the file: no FILE then.
bool ParseFileCommandLine(const CommandInfo& command, int argc, char** argv, const CommandOption* rows, int rowCount,
                          const char*& file, int& status, const char* const* recipe = nullptr);

template <size_t N>
bool ParseFileCommandLine(const CommandInfo& command, int argc, char** argv, const CommandOption (&rows)[N],
                          const char*& file, int& status, const char* const* recipe = nullptr)
{
    return ParseFileCommandLine(command, argc, argv, rows, int(N), file, status, recipe);
}

// Flushes standard output: `status` when all of it went out, else a message
// naming standard output and at least the usage status (2).
int FinishOutput(const char* command, int status);

// ---- option rows the commands share ---------------------------------------------

// What a command that drives ports says as it goes.
struct Telling {
    bool verbose;  // say how each port is driven
    bool json;     // messages as JSON events on standard output
};

CommandOption BaudRow(unsigned long& baud);
CommandOption ModeRow(AnswerMode& mode);
CommandOption AnswerTimeoutRow(double& seconds);
CommandOption BaseRow(ImageOptions& image);
CommandOption RecordSizeRow(ImageOptions& image);

// A --port given once more (at most kMaxPorts).
struct PortNames {
    const char* names[kMaxPorts];
    int count;
};
CommandOption PortRow(PortNames& ports);

// The recipe's line settings, log and slots, where the command line says
// nothing of them (the names point into `recipe`); an option that says
// otherwise is refused, naming both.
bool TakeRecipeSettings(int argc, char** argv, const Recipe& recipe, JobSettings& settings, const char*& log,
                        PortNames& ports, Failure& failure);

// " (converted from Intel HEX)" or " (converted from a raw binary)" for a
// file held as the S-records it converts to; "" for an S-record file.
const char* ConvertedFrom(const FirmwareSnapshot& firmware, const ImageOptions& image);

// An answer timeout, or a wait: 0 (for ever) or 1 ms to a day; NaN never.
bool ParseSeconds(const char* value, double& seconds);

// ---- what the commands print (report.cpp) -------------------------------------------

// The check's summary, its note and every kept problem; or all of it as
// one JSON "check" event.
void PrintFirmwareCheck(FILE* out, const char* path, const FirmwareCheck& check, unsigned long baud);
void PrintFirmwareCheckJson(FILE* out, const char* path, const FirmwareCheck& check, unsigned long baud);

// The JSON "outcome" event: of the command (port null), or of one port's
// job (with its sent bytes, frames and seconds).
void PrintJsonOutcome(const PortJob* job, const char* result, int status, const char* reason);

// A message about one port: a line on standard error, or a JSON event.
void TellPort(const PortJob& job, bool json, const char* event, const char* text);

// What OpenJob found worth saying: another holder of the port always; how
// the port is driven and what was done for prompt answers when verbose.
void TellOpened(const PortJob& job, const JobSettings& settings, const Telling& telling);

// The likely causes, once, when a serial device leaves its first frame
// unanswered for a few seconds.
void WarnIfFirstAnswerLate(PortJob& job, bool json, std::chrono::steady_clock::duration waited);

// "PORT: 14432 of 16384 bytes,  88%, 2884 bytes/s, 1 s left" and, once the
// job has ended, ", done", ", failed" or ", aborted".
void FormatProgress(const PortJob& job, long long total, double seconds, char* text, size_t size);

// The outcome line on standard error, or the JSON outcome event.
void PrintOutcome(const PortJob& job, bool json, bool quiet);

// Lines on standard error drawn again in place on a terminal: each redraw
// moves up over the lines the last one drew.
struct LiveLines {
    bool terminal;
    int drawn;
};
void BeginRedraw(LiveLines& lines);
void DrawLine(LiveLines& lines, const char* text);

// "tally: 3 written, 1 failed, 0 aborted" as its own line, or redrawn.
void PrintTally(LiveLines* lines, const StationTally& tally);

// ---- the platform's words (words_posix.cpp, words_win32.cpp) ----------------

// What "{name}" in a help text stands for on this platform: how a port is
// named there, where the settings file is, how a job is stopped.
struct PlatformWord {
    const char* name;
    const char* words;
};
extern const PlatformWord kPlatformWords[];
extern const size_t kPlatformWordCount;

// A help text on standard output, each {name} in it as this platform's words.
void PrintHelpText(const char* help);

// How `ports` shows a name that survives replugging: "also" a by-id path
// that --port takes too (Linux), "at" the place it is plugged in (Windows);
// and its JSON key.
extern const char kStableNameLead[];
extern const char kStableNameKey[];
