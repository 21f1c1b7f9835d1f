// The settings table, the "%04x" conversion both ways and the validation:
// portable, the file itself is behind SettingsStore.
#include "settings.h"

#include <cstdio>

PortCode thePortCode = 0;
BaudSelector theBaudSelector = 0;

const SettingEntry kSettingTable[kSettingCount] = {
    {"PORT1", &theBaudSelector},
    {"PORT4", &thePortCode},
};

bool ScanSettingValue(const char* text, uint32_t* value)
{
    constexpr int kFieldWidth = 4;
    const char* p = text;
    while (IsScanfSpace(*p)) ++p;

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
    *value = converted;
    return true;
}

void FormatSettingValue(uint32_t value, char (&text)[kSettingTextSize])
{
    std::snprintf(text, sizeof text, "%04x", unsigned(value));
}

void ValidateSettings(BaudSelector* baudSelector, PortCode* portCode)
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

bool SaveSettingsTo(const SettingsStore& store, char* error, size_t errorSize)
{
    bool saved = true;
    for (const SettingEntry& entry : kSettingTable) {
        char text[kSettingTextSize];
        FormatSettingValue(*entry.value, text);
        saved = store.writeText(store.context, entry.key, text, error, errorSize) && saved;
    }
    return saved;
}

void LoadSettings() { LoadSettingsFrom(PlatformSettingsStore()); }

void SaveSettings()
{
    char ignored[160];
    SaveSettingsTo(PlatformSettingsStore(), ignored, sizeof ignored);
}
