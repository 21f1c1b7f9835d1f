// The settings file as a private-profile file. The bare file name puts it in
// the Windows directory.
#include <windows.h>

#include "settings.h"

namespace {

void ReadProfileText(void*, const char* key, const char* defaultText, char* text, size_t size)
{
    GetPrivateProfileStringA(kSettingsSection, key, defaultText, text, DWORD(size), kSettingsFile);
}

void WriteProfileText(void*, const char* key, const char* text)
{
    WritePrivateProfileStringA(kSettingsSection, key, text, kSettingsFile);
}

}  // namespace

SettingsStore PlatformSettingsStore() { return SettingsStore{nullptr, ReadProfileText, WriteProfileText}; }
