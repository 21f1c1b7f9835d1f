// Until this platform has a settings file: every key reads as missing and
// writes go nowhere, so a run starts from the defaults.
#include <cstring>

#include "settings.h"

namespace {

void ReadNoText(void*, const char*, const char* defaultText, char* text, size_t size)
{
    if (size == 0) return;
    std::strncpy(text, defaultText, size - 1);
    text[size - 1] = '\0';
}

void WriteNoText(void*, const char*, const char*) {}

}  // namespace

SettingsStore PlatformSettingsStore() { return SettingsStore{nullptr, ReadNoText, WriteNoText}; }
