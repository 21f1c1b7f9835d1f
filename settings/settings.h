// The port code and baud selector, kept between runs in a small settings
// file: "KORVIN.INI", section "PELMARIX", values as "%04x".
#pragma once

#include <cstddef>
#include <cstdint>

#include "port.h"

// The chosen port (bit 15: parallel; bits 0-11: port number; 0: none) and
// baud selector (the identifier of the chosen baud button, 202..205).
// Process-wide; touched by the user-interface thread only.
extern PortCode thePortCode;
extern BaudSelector theBaudSelector;

constexpr const char* kSettingsFile = "KORVIN.INI";
constexpr const char* kSettingsSection = "PELMARIX";
constexpr const char* kSettingDefaultText = "0000";  // what a missing key reads as

// One row of the settings file: the key and the value stored under it.
struct SettingEntry {
    const char* key;
    uint32_t* value;  // thePortCode or theBaudSelector
};

// The file's rows in the order they are read and written: the baud
// selector under "PORT1", the port code under "PORT4".
constexpr size_t kSettingCount = 2;
extern const SettingEntry kSettingTable[kSettingCount];

// Where the settings file lives: reads and writes the text of one key of
// section "PELMARIX" in "KORVIN.INI".
struct SettingsStore {
    void* context;
    // Copies the key's text, or defaultText when the key is missing, into
    // text (size bytes, always terminated, cut to fit).
    void (*readText)(void* context, const char* key, const char* defaultText, char* text, size_t size);
    // False, with what was attempted and why in `error`, when the text
    // could not be written.
    bool (*writeText)(void* context, const char* key, const char* text, char* error, size_t errorSize);
};

// The platform's settings file (the private-profile file in the Windows
// directory on Windows).
SettingsStore PlatformSettingsStore();

// Reads both keys into the process-wide values, then validates them.
void LoadSettings();
void LoadSettingsFrom(const SettingsStore& store);

// Writes both keys, every time, whether or not anything changed. The
// Windows program does not look at the result: the settings are not worth
// an error message there.
void SaveSettings();
bool SaveSettingsTo(const SettingsStore& store, char* error, size_t errorSize);

// Reads a value as scanf "%04x" does: white space skipped, then at most four
// characters, an optional sign and an optional 0x/0X counted among them;
// the rest is ignored. Without a hexadecimal digit the value keeps what it
// held and the result is false.
bool ScanSettingValue(const char* text, uint32_t* value);

// The value as written to the file: "%04x", four or more lower-case digits.
constexpr size_t kSettingTextSize = 16;
void FormatSettingValue(uint32_t value, char (&text)[kSettingTextSize]);

// A baud selector outside 202..205 means the file is not ours to trust:
// 9600 baud and no port.
void ValidateSettings(BaudSelector* baudSelector, PortCode* portCode);
