// The tools' one option parser: a table of options per command, read with
// getopt_long, so "--port=X", "--port X" and "--" all work the same
// everywhere.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "cli.h"

namespace {

constexpr int kMaxOptions = 24;
constexpr int kHelp = 'h';  // every command's -h and --help
constexpr int kLongOnlyBase = 256;  // getopt's value of option i without a letter: 256 + i

int ValueOf(const CommandOption& option, int index)
{
    return option.letter ? (unsigned char)option.letter : kLongOnlyBase + index;
}

int IndexOf(const CommandOption* options, int optionCount, int value)
{
    for (int i = 0; i < optionCount; ++i)
        if (ValueOf(options[i], i) == value) return i;
    return -1;
}

// ":" first: a missing value is told apart from an unknown option.
void BuildTables(const CommandOption* options, int optionCount, option (&longOptions)[kMaxOptions + 2],
                 char (&letters)[2 * kMaxOptions + 4])
{
    size_t used = 0;
    letters[used++] = ':';
    letters[used++] = char(kHelp);
    for (int i = 0; i < optionCount; ++i) {
        int argument = options[i].valueOptional ? optional_argument
                       : options[i].takesValue  ? required_argument
                                                : no_argument;
        longOptions[i] = {options[i].name, argument, nullptr, ValueOf(options[i], i)};
        if (!options[i].letter) continue;
        letters[used++] = options[i].letter;
        if (options[i].takesValue || options[i].valueOptional) letters[used++] = ':';
        if (options[i].valueOptional) letters[used++] = ':';
    }
    letters[used] = '\0';
    longOptions[optionCount] = {"help", no_argument, nullptr, kHelp};
    longOptions[optionCount + 1] = {nullptr, 0, nullptr, 0};
}

bool Fail(CommandLine& line, const char* format, const char* what)
{
    std::snprintf(line.error, sizeof line.error, format, what);
    return false;
}

// The option as the user wrote it, for messages.
const char* Spelling(const CommandOption* options, int index, char (&text)[64])
{
    std::snprintf(text, sizeof text, "--%s", options[index].name);
    return text;
}

}  // namespace

bool TakeFlag(void* context, int index, const char*, char*, size_t)
{
    static_cast<bool*>(context)[index] = true;
    return true;
}

bool ParseCommandLine(int argc, char** argv, const CommandOption* options, int optionCount, TakeOption take,
                      void* context, CommandLine& line)
{
    line.operandCount = 0;
    line.help = false;
    line.error[0] = '\0';
    if (optionCount > kMaxOptions) return Fail(line, "%s", "too many options in the table");
    option longOptions[kMaxOptions + 2];
    char letters[2 * kMaxOptions + 4];
    BuildTables(options, optionCount, longOptions, letters);

    opterr = 0;
    optind = 0;  // a fresh parse: the tools parse more than one command line
    for (;;) {
        int value = getopt_long(argc, argv, letters, longOptions, nullptr);
        if (value == -1) break;
        if (value == kHelp) {
            line.help = true;
            continue;
        }
        char spelling[64];
        if (value == '?') {
            // A known option given a value it does not take names itself in
            // optopt; so does an unknown letter, which may stand inside a
            // cluster that getopt has not passed yet; an unknown long option
            // is the argument just passed.
            int known = optopt ? IndexOf(options, optionCount, optopt) : -1;
            if (known >= 0) return Fail(line, "%s takes no value", Spelling(options, known, spelling));
            if (optopt > 0 && optopt < kLongOnlyBase) {
                std::snprintf(spelling, sizeof spelling, "-%c", optopt);
                return Fail(line, "unknown option '%s'", spelling);
            }
            return Fail(line, "unknown option '%s'", argv[optind - 1]);
        }
        int index = IndexOf(options, optionCount, value == ':' ? optopt : value);
        if (index < 0) return Fail(line, "unknown option '%s'", argv[optind - 1]);
        if (value == ':') return Fail(line, "%s needs a value", Spelling(options, index, spelling));
        bool hasValue = options[index].takesValue || options[index].valueOptional;
        if (!take(context, index, hasValue ? optarg : nullptr, line.error, sizeof line.error))
            return false;
    }
    for (int i = optind; i < argc; ++i) {
        if (line.operandCount == kMaxOperands) return Fail(line, "too many arguments, from '%s' on", argv[i]);
        line.operands[line.operandCount++] = argv[i];
    }
    return true;
}

int ParseFileCommandLine(const CommandInfo& command, int argc, char** argv, const CommandOption* options,
                         int optionCount, TakeOption take, void* context, const char*& file)
{
    bool json = WantsJson(argc, argv) && IndexOf(options, optionCount, 'j') >= 0;
    CommandLine line;
    if (!ParseCommandLine(argc, argv, options, optionCount, take, context, line))
        return UsageError(command, json, "%s", line.error);
    if (line.help) return ShowHelp(command);
    if (line.operandCount != 1)
        return UsageError(command, json, line.operandCount ? "only one FILE, please" : "which FILE?");
    file = line.operands[0];
    return -1;
}

int ShowHelp(const CommandInfo& command)
{
    std::printf("usage: %s\n\n%s", command.usage, command.help);
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
    if (json) {
        std::printf("{\"event\":\"outcome\",\"result\":\"usage\",\"exit\":%d,\"reason\":", kExitUsage);
        PrintJsonString(stdout, why);
        std::printf("}\n");
    }
    return FinishOutput(command.name, kExitUsage);
}

bool WantsJson(int argc, char** argv)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--json") == 0 || std::strcmp(argv[i], "-j") == 0) return true;
    return false;
}
