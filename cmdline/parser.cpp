// The tools' one option parser: a table of options per command, read with
// getopt_long, so "--port=X", "--port X" and "--" all work the same
// everywhere.
#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "cmdline.h"

namespace {

constexpr int kMaxOptions = 24;
constexpr int kHelp = 'h';  // every command's -h and --help
constexpr int kLongOnlyBase = 256;  // getopt's value of option i without a letter: 256 + i

int ValueOf(const CommandOption& row, int index)
{
    return row.letter ? (unsigned char)row.letter : kLongOnlyBase + index;
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
        OptionValue value = options[i].value;
        int argument = value == OptionValue::Optional   ? optional_argument
                       : value == OptionValue::Required ? required_argument
                                                        : no_argument;
        longOptions[i] = {options[i].name, argument, nullptr, ValueOf(options[i], i)};
        if (!options[i].letter) continue;
        letters[used++] = options[i].letter;
        if (value != OptionValue::None) letters[used++] = ':';
        if (value == OptionValue::Optional) letters[used++] = ':';
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

bool TakeFlagValue(const CommandOption& row, const char*, char*, size_t)
{
    *static_cast<bool*>(row.field) = true;
    return true;
}

bool TakeTextValue(const CommandOption& row, const char* value, char*, size_t)
{
    *static_cast<const char**>(row.field) = value;
    return true;
}

bool ParseCommandLine(int argc, char** argv, const CommandOption* options, int optionCount, CommandLine& line)
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
        const CommandOption& row = options[index];
        if (!row.take(row, row.value != OptionValue::None ? optarg : nullptr, line.error, sizeof line.error))
            return false;
    }
    for (int i = optind; i < argc; ++i) {
        if (line.operandCount == kMaxOperands) return Fail(line, "too many arguments, from '%s' on", argv[i]);
        line.operands[line.operandCount++] = argv[i];
    }
    return true;
}

bool AsksFor(int argc, char** argv, char letter, const char* name)
{
    const char shortForm[3] = {'-', letter, '\0'};
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], shortForm) == 0 || (argv[i][0] == '-' && argv[i][1] == '-' &&
                                                    std::strcmp(argv[i] + 2, name) == 0))
            return true;
    return false;
}
