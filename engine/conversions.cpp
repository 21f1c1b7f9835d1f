#include "conversions.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

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

namespace {

// `text` as a JSON string, quotes included, handed to `put` piece by piece:
// the one escaping both a stream and a string get.
void EscapeJson(const char* text, void (*put)(void* context, const char* piece, size_t size), void* context)
{
    put(context, "\"", 1);
    const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
    char escaped[8];
    while (*c) {
        size_t length = Utf8Length(c);
        if (*c == '"' || *c == '\\') {
            std::snprintf(escaped, sizeof escaped, "\\%c", *c);
            put(context, escaped, 2);
        } else if (length == 0 || IsAsciiControl(*c)) {
            // A byte that begins no character is taken as the Latin-1 one.
            std::snprintf(escaped, sizeof escaped, "\\u%04x", *c);
            put(context, escaped, 6);
        } else {
            put(context, reinterpret_cast<const char*>(c), length);
        }
        c += length ? length : 1;
    }
    put(context, "\"", 1);
}

}  // namespace

void PrintJsonString(FILE* out, const char* text)
{
    EscapeJson(text, [](void* context, const char* piece, size_t size) {
        std::fwrite(piece, 1, size, static_cast<FILE*>(context));
    }, out);
}

void AppendJsonString(std::string& out, const char* text)
{
    EscapeJson(text, [](void* context, const char* piece, size_t size) {
        static_cast<std::string*>(context)->append(piece, size);
    }, &out);
}
