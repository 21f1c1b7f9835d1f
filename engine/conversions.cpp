#include "conversions.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

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
