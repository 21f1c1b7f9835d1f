#include "cli.h"

void PrintJsonString(FILE* out, const char* text)
{
    std::fputc('"', out);
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; ++c) {
        if (*c == '"' || *c == '\\') std::fprintf(out, "\\%c", *c);
        else if (*c < 0x20) std::fprintf(out, "\\u%04x", *c);
        else std::fputc(*c, out);
    }
    std::fputc('"', out);
}
