// What the commands print: text from outside (port names, file names, USB
// strings) is shown with its control characters escaped, so that it cannot
// move the cursor or clear the screen, and JSON is always valid UTF-8.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cmdline.h"

void PrintText(FILE* out, const char* text)
{
    const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
    while (*c) {
        size_t length = Utf8Length(c);
        if (*c == '\n' || (length > 0 && !IsAsciiControl(*c))) std::fwrite(c, 1, length ? length : 1, out);
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
