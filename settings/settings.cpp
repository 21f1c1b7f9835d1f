// The settings table, the "%04x" conversion both ways and the validation:
// portable, the file itself is behind SettingsStore.
#include "settings.h"

#include <cstdio>

int32_t thePortCode = 0;
int32_t theBaudSelector = 0;

const SettingEntry kSettingTable[kSettingCount] = {
    {"PORT1", &theBaudSelector},
    {"PORT4", &thePortCode},
};

namespace {

// The "C" locale's white space, decided here so that characters above 0x7F
// never count, whatever the char signedness.
bool IsScanSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ScanSettingValue(const char* text, int32_t* value)
{
    constexpr int kFieldWidth = 4;
    const char* p = text;
    while (IsScanSpace(*p)) ++p;

    int left = kFieldWidth;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
        --left;
    }
    // The prefix's 0 is a digit too: a 0x that nothing follows reads as 0,
    // as the C libraries' scanf has it.
    int digits = 0;
    if (left >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
        left -= 2;
        digits = 1;
    }

    uint32_t converted = 0;
    for (; left > 0 && HexDigitValue(*p) >= 0; ++p, --left, ++digits) {
        converted = converted * 16 + uint32_t(HexDigitValue(*p));
    }
    if (digits == 0) return false;
    if (negative) converted = 0u - converted;
    *value = int32_t(converted);
    return true;
}

void FormatSettingValue(int32_t value, char (&text)[kSettingTextSize])
{
    std::snprintf(text, sizeof text, "%04x", unsigned(uint32_t(value)));
}

void ValidateSettings(int32_t* baudSelector, int32_t* portCode)
{
    if (*baudSelector < kFirstBaudSelector || *baudSelector > kLastBaudSelector) {
        *baudSelector = kDefaultBaudSelector;
        *portCode = 0;
    }
}

void LoadSettingsFrom(const SettingsStore& store)
{
    for (const SettingEntry& entry : kSettingTable) {
        char text[kSettingTextSize];
        store.readText(store.context, entry.key, kSettingDefaultText, text, sizeof text);
        ScanSettingValue(text, entry.value);
    }
    ValidateSettings(&theBaudSelector, &thePortCode);
}

void SaveSettingsTo(const SettingsStore& store)
{
    for (const SettingEntry& entry : kSettingTable) {
        char text[kSettingTextSize];
        FormatSettingValue(*entry.value, text);
        store.writeText(store.context, entry.key, text);
    }
}

void LoadSettings() { LoadSettingsFrom(PlatformSettingsStore()); }

void SaveSettings() { SaveSettingsTo(PlatformSettingsStore()); }
