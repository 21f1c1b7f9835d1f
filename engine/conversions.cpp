#include "conversions.h"

#include <cstdarg>
#include <cstdio>

#include <cstdio>
#include <cstring>

namespace {

struct BaudRow {
    BaudSelector selector;
    unsigned long rate;
};

// The one baud table, in the order of the selectors' identifiers.
constexpr BaudRow kBaudTable[] = {
    {kBaud19200, 19200},
    {kBaud9600, 9600},
    {kBaud4800, 4800},
    {kBaud38400, 38400},
};

}  // namespace

const char kBaudRateList[] = "4800, 9600, 19200 or 38400";

bool StartsWithIgnoringCase(const char* text, const char* prefix)
{
    return EqualIgnoringCase(text, prefix, std::strlen(prefix));
}

bool EqualIgnoringCase(const char* a, const char* b, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
        if (a[i] == '\0') return true;
    }
    return true;
}

unsigned long BaudRateOf(BaudSelector selector)
{
    for (const BaudRow& row : kBaudTable)
        if (row.selector == selector) return row.rate;
    return 9600;
}

BaudSelector SelectorOfBaud(unsigned long rate)
{
    for (const BaudRow& row : kBaudTable)
        if (row.rate == rate) return row.selector;
    return kDefaultBaudSelector;
}

unsigned long ParseBaudRate(const char* text)
{
    for (const BaudRow& row : kBaudTable) {
        char decimal[8];
        std::snprintf(decimal, sizeof decimal, "%lu", row.rate);
        if (std::strcmp(text, decimal) == 0) return row.rate;
    }
    return 0;
}

bool Fail(Failure& failure, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(failure.text, sizeof failure.text, format, args);
    va_end(args);
    return false;
}

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

void PrintJsonString(FILE* out, const char* text)
{
    std::fputc('"', out);
    const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
    while (*c) {
        size_t length = Utf8Length(c);
        if (*c == '"' || *c == '\\') std::fprintf(out, "\\%c", *c);
        // A byte that begins no character is taken as the Latin-1 one.
        else if (length == 0 || IsAsciiControl(*c)) std::fprintf(out, "\\u%04x", *c);
        else std::fwrite(c, 1, length, out);
        c += length ? length : 1;
    }
    std::fputc('"', out);
}
