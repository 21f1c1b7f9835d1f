// Writing JSON text for --json output.
#pragma once

#include <cstdio>

// `text` as a JSON string, quotes included.
void PrintJsonString(FILE* out, const char* text);
