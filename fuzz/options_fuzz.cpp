// The tools' option parser on argument vectors made from the input (a NUL
// ends each argument), with a table like write's: every option taken must be
// one of the table's, every value and operand one of the arguments, and a
// failure must say why.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "cli.h"

namespace {

void Check(bool condition) { if (!condition) std::abort(); }

// write's options, some with a letter too so that both spellings are met.
const CommandOption kOptions[] = {{"help", 'h', false}, {"port", 'p', true}, {"baud", 0, true},
                                  {"mode", 0, true},    {"answer-timeout", 't', true}, {"force", 'f', false},
                                  {"save", 0, false},   {"quiet", 'q', false}, {"json", 0, false}};
constexpr int kOptionCount = int(sizeof kOptions / sizeof kOptions[0]);

using Arguments = std::vector<std::unique_ptr<char[]>>;  // exactly sized, NUL included

// Inside one of the arguments: a value may follow "--port=" or "-p".
bool InArgument(const Arguments& arguments, const char* text)
{
    for (const auto& argument : arguments)
        if (text >= argument.get() && text <= argument.get() + std::strlen(argument.get())) return true;
    return false;
}

bool Take(void* context, int index, const char* value, char* error, size_t errorSize)
{
    Check(index >= 0 && index < kOptionCount && (value != nullptr) == kOptions[index].takesValue);
    Check(!value || InArgument(*static_cast<Arguments*>(context), value));
    if (!value || value[0] != '!') return true;
    std::snprintf(error, errorSize, "refused");  // a value the command does not accept
    return false;
}

// A failure says why, in a terminated text.
bool Said(const char* error, size_t size) { return error[0] != '\0' && std::memchr(error, '\0', size); }

}  // namespace

// Input: the arguments.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Arguments arguments;
    std::vector<char*> argv(1, const_cast<char*>("write"));
    for (size_t at = 0, length; at < size && argv.size() < 32; at += length + 1) {
        length = strnlen(reinterpret_cast<const char*>(data + at), size - at);
        arguments.emplace_back(new char[length + 1]);
        std::memcpy(arguments.back().get(), data + at, length);
        arguments.back()[length] = '\0';
        argv.push_back(arguments.back().get());
    }
    int argc = int(argv.size());
    argv.push_back(nullptr);
    CommandLine line;
    bool parsed = ParseCommandLine(argc, argv.data(), kOptions, Take, &arguments, line);
    Check(parsed || Said(line.error, sizeof line.error));
    Check(!parsed || (line.operandCount >= 0 && line.operandCount <= kMaxOperands));
    for (int i = 0; parsed && i < line.operandCount; ++i) Check(InArgument(arguments, line.operands[i]));
    return 0;
}
