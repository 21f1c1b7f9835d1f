#include "conversions.h"

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
