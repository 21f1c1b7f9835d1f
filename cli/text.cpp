// What the commands print: text from outside (port names, file names, USB
// strings) is shown with its control characters escaped, so that it cannot
// move the cursor or clear the screen, and JSON is always valid UTF-8.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace {

// The length of the well-formed UTF-8 sequence at `text` (shortest form,
// no surrogates, at most U+10FFFF); 0 when the byte begins none.
size_t Utf8Length(const unsigned char* text)
{
    unsigned char first = text[0];
    size_t length = first < 0x80 ? 1 : first >= 0xC2 && first <= 0xDF ? 2 : first >= 0xE0 && first <= 0xEF ? 3
                                       : first >= 0xF0 && first <= 0xF4 ? 4 : 0;
    for (size_t i = 1; i < length; ++i)
        if ((text[i] & 0xC0) != 0x80) return 0;
    if (length == 3 && ((first == 0xE0 && text[1] < 0xA0) || (first == 0xED && text[1] >= 0xA0))) return 0;
    if (length == 4 && ((first == 0xF0 && text[1] < 0x90) || (first == 0xF4 && text[1] >= 0x90))) return 0;
    return length;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

void PrintJsonString(FILE* out, const char* text)
{
    std::fputc('"', out);
    const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
    while (*c) {
        size_t length = Utf8Length(c);
        if (*c == '"' || *c == '\\') std::fprintf(out, "\\%c", *c);
        // A byte that begins no character is taken as the Latin-1 one.
        else if (length == 0 || IsControl(*c)) std::fprintf(out, "\\u%04x", *c);
        else std::fwrite(c, 1, length, out);
        c += length ? length : 1;
    }
    std::fputc('"', out);
}

void PrintText(FILE* out, const char* text)
{
    const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
    while (*c) {
        size_t length = Utf8Length(c);
        if (*c == '\n' || (length > 0 && !IsControl(*c))) std::fwrite(c, 1, length ? length : 1, out);
        else std::fprintf(out, "\\x%02X", *c);
        c += length ? length : 1;
    }
}

void Say(FILE* out, const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    PrintText(out, text);
}

int FinishOutput(const char* command, int status)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
    const char* reason = errno ? std::strerror(errno) : "an output error";
    Say(stderr, "quorvane-cli %s: cannot write to standard output: %s\n", command, reason);
    return status > kExitUsage ? status : kExitUsage;
}
