// What every command shares: its help, its mistakes told, its FILE, and
// standard output checked at the end.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli.h"

void PrintHelpText(const char* help)
{
    for (const char* at = help;;) {
        const char* open = std::strchr(at, '{');
        const char* close = open ? std::strchr(open, '}') : nullptr;
        if (!close) {
            std::fputs(at, stdout);
            return;
        }
        const char* words = nullptr;
        for (size_t i = 0; i < kPlatformWordCount && !words; ++i) {
            const char* name = kPlatformWords[i].name;
            if (std::strlen(name) == size_t(close - open - 1) && std::strncmp(name, open + 1, close - open - 1) == 0)
                words = kPlatformWords[i].words;
        }
        // A name without words is shown as it is, for the help's tests to find.
        std::fwrite(at, 1, size_t((words ? open : close + 1) - at), stdout);
        if (words) std::fputs(words, stdout);
        at = close + 1;
    }
}

int ShowHelp(const CommandInfo& command)
{
    std::printf("usage: %s\n\n", command.usage);
    PrintHelpText(command.help);
    return FinishOutput(command.name, kExitOk);
}

int UsageError(const CommandInfo& command, bool json, const char* format, ...)
{
    char why[300];
    va_list args;
    va_start(args, format);
    std::vsnprintf(why, sizeof why, format, args);
    va_end(args);
    Say(stderr, "quorvane-cli %s: %s\nusage: %s\ntry 'quorvane-cli %s --help'\n", command.name, why, command.usage,
        command.name);
    if (json) PrintJsonOutcome(nullptr, "usage", kExitUsage, why);
    return FinishOutput(command.name, kExitUsage);
}

bool ParseFileCommandLine(const CommandInfo& command, int argc, char** argv, const CommandOption* rows, int rowCount,
                          const char*& file, int& status, const char* const* recipe)
{
    bool speaksJson = false;
    for (int i = 0; i < rowCount; ++i) speaksJson |= rows[i].letter == 'j';
    bool json = speaksJson && AsksFor(argc, argv, 'j', "json");
    CommandLine line;
    if (!ParseCommandLine(argc, argv, rows, rowCount, line)) {
        status = UsageError(command, json, "%s", line.error);
        return false;
    }
    if (line.help) {
        status = ShowHelp(command);
        return false;
    }
    if (recipe && *recipe) {
        file = nullptr;
        if (line.operandCount == 0) return true;
        status = UsageError(command, json, "--recipe names the FILE: give no other");
        return false;
    }
    if (line.operandCount != 1) {
        status = UsageError(command, json, line.operandCount ? "only one FILE, please" : "which FILE?");
        return false;
    }
    file = line.operands[0];
    if (std::strcmp(file, "-") == 0) SetBinaryStdin();
    return true;
}

int FinishOutput(const char* command, int status)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    const char* reason = errno ? std::strerror(errno) : "an output error";
    Say(stderr, "quorvane-cli %s: cannot write to standard output: %s\n", command, reason);
    return status > kExitUsage ? status : kExitUsage;
}
