// The option rows several commands share, each bound to the field it sets.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"

namespace {

bool TakeBaud(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    unsigned long& baud = *static_cast<unsigned long*>(row.field);
    if ((baud = ParseBaudRate(value))) return true;
    std::snprintf(error, errorSize, "baud rate must be %s, not '%s'", kBaudRateList, value);
    return false;
}

bool TakeMode(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    static const char* const kModes[] = {"auto", "ack", "silent"};
    for (int mode = 0; mode < 3; ++mode) {
        if (std::strcmp(value, kModes[mode]) != 0) continue;
        *static_cast<AnswerMode*>(row.field) = AnswerMode(mode);
        return true;
    }
    std::snprintf(error, errorSize, "mode must be auto, ack or silent, not '%s'", value);
    return false;
}

bool TakeAnswerTimeout(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    if (ParseSeconds(value, *static_cast<double*>(row.field))) return true;
    std::snprintf(error, errorSize, "answer timeout must be 0 (for ever) or 0.001 to 86400 seconds, not '%s'", value);
    return false;
}

// A whole number in C's notation (0x10000 too), no sign, no blanks.
bool ParseWhole(const char* value, unsigned long long& number)
{
    char* end = nullptr;
    number = std::strtoull(value, &end, 0);
    return *value >= '0' && *value <= '9' && end != value && *end == '\0';
}

bool TakeBase(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    ImageOptions& image = *static_cast<ImageOptions*>(row.field);
    unsigned long long number = 0;
    image.hasBase = ParseWhole(value, number) && number <= 0xFFFFFFFFull;
    image.base = uint32_t(number);
    if (image.hasBase) return true;
    std::snprintf(error, errorSize, "--base takes an address from 0 to 0xFFFFFFFF, not '%s'", value);
    return false;
}

bool TakeRecordSize(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    ImageOptions& image = *static_cast<ImageOptions*>(row.field);
    unsigned long long number = 0;
    image.recordSize = ParseWhole(value, number) && number >= 1 && number <= kMaxRecordSize ? unsigned(number) : 0;
    if (image.recordSize) return true;
    std::snprintf(error, errorSize, "--record-size takes 1 to %u data bytes, not '%s'", kMaxRecordSize, value);
    return false;
}

bool TakePort(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    PortNames& ports = *static_cast<PortNames*>(row.field);
    if (ports.count == kMaxPorts) {
        std::snprintf(error, errorSize, "at most %d ports", kMaxPorts);
        return false;
    }
    ports.names[ports.count++] = value;
    return true;
}

}  // namespace

CommandOption BaudRow(unsigned long& baud) { return ValueRow('b', "baud", &baud, TakeBaud); }
CommandOption ModeRow(AnswerMode& mode) { return ValueRow('m', "mode", &mode, TakeMode); }
CommandOption AnswerTimeoutRow(double& seconds) { return ValueRow('t', "answer-timeout", &seconds, TakeAnswerTimeout); }
CommandOption BaseRow(ImageOptions& image) { return ValueRow(0, "base", &image, TakeBase); }
CommandOption RecordSizeRow(ImageOptions& image) { return ValueRow(0, "record-size", &image, TakeRecordSize); }
CommandOption PortRow(PortNames& ports) { return ValueRow('p', "port", &ports, TakePort); }

bool ParseSeconds(const char* value, double& seconds)
{
    char* end = nullptr;
    double parsed = std::strtod(value, &end);
    // Written so that NaN fails too.
    if (end == value || *end || !(parsed == 0 || (parsed >= 0.001 && parsed <= 86400))) return false;
    seconds = parsed;
    return true;
}

const char* ConvertedFrom(const FirmwareSnapshot& firmware, const ImageOptions& image)
{
    if (!firmware.converted) return "";
    return image.hasBase ? " (converted from a raw binary)" : " (converted from Intel HEX)";
}

// An option given on the command line, in any of its forms.
static bool Given(int argc, char** argv, char letter, const char* name)
{
    size_t length = std::strlen(name);
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strncmp(argv[i], "--", 2) == 0 && std::strncmp(argv[i] + 2, name, length) == 0 &&
            argv[i][2 + length] == '=')
            return true;
    return letter && AsksFor(argc, argv, letter, name);
}

bool TakeRecipeSettings(int argc, char** argv, const Recipe& recipe, JobSettings& settings, const char*& log,
                        PortNames& ports, Failure& failure)
{
    bool clash = false;
    char said[160] = "";
    if (recipe.hasBaud && Given(argc, argv, 'b', "baud") && settings.baud != recipe.baud)
        clash = std::snprintf(said, sizeof said, "--baud %lu, the recipe's line.baud %lu", settings.baud, recipe.baud);
    else if (recipe.hasMode && Given(argc, argv, 'm', "mode") && settings.mode != recipe.mode)
        clash = std::snprintf(said, sizeof said, "--mode, the recipe's line.mode");
    else if (recipe.hasAnswerTimeout && Given(argc, argv, 't', "answer-timeout") &&
             settings.answerTimeoutSeconds != recipe.answerTimeoutSeconds)
        clash = std::snprintf(said, sizeof said, "--answer-timeout %g, the recipe's line.answer_timeout %g",
                              settings.answerTimeoutSeconds, recipe.answerTimeoutSeconds);
    else if (!recipe.log.empty() && log && !IsSameFile(log, recipe.log.c_str()))
        clash = std::snprintf(said, sizeof said, "--log %s, the recipe's station.log %s", log, recipe.log.c_str());
    else if (!recipe.slots.empty() && ports.count)
        clash = std::snprintf(said, sizeof said, "--port, the recipe's station.slots");
    else if (Given(argc, argv, 0, "base") || Given(argc, argv, 0, "record-size"))
        clash = std::snprintf(said, sizeof said, "--base or --record-size, the recipe's [image]");
    if (clash) return Fail(failure, "the command line contradicts the recipe %s: %s", recipe.path.c_str(), said);
    if (recipe.hasBaud) settings.baud = recipe.baud;
    if (recipe.hasMode) settings.mode = recipe.mode;
    if (recipe.hasAnswerTimeout) settings.answerTimeoutSeconds = recipe.answerTimeoutSeconds;
    if (!recipe.log.empty()) log = recipe.log.c_str();
    if (!recipe.slots.empty()) ports.count = int(recipe.slots.size());
    for (size_t i = 0; i < recipe.slots.size(); ++i) ports.names[i] = recipe.slots[i].c_str();
    return true;
}
