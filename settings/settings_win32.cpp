// The settings file as a private-profile file. The bare file name puts it in
// the Windows directory.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "settings.h"

namespace {

void ReadProfileText(void*, const char* key, const char* defaultText, char* text, size_t size)
{
    GetPrivateProfileStringA(kSettingsSection, key, defaultText, text, DWORD(size), kSettingsFile);
}

bool WriteProfileText(void*, const char* key, const char* text, char* error, size_t errorSize)
{
    if (WritePrivateProfileStringA(kSettingsSection, key, text, kSettingsFile)) return true;
    DWORD code = GetLastError();
    char reason[160] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, reason,
                   sizeof reason, nullptr);
    reason[strcspn(reason, "\r\n")] = '\0';
    // The folder the bare name puts it in, which the user may not write to.
    char folder[MAX_PATH] = "the Windows folder";
    UINT length = GetWindowsDirectoryA(folder, sizeof folder);
    if (length == 0 || length >= sizeof folder) snprintf(folder, sizeof folder, "the Windows folder");
    snprintf(error, errorSize, "cannot write %s in %s: %s (error %lu)", kSettingsFile, folder, reason,
             (unsigned long)code);
    return false;
}

}  // namespace

SettingsStore PlatformSettingsStore() { return SettingsStore{nullptr, ReadProfileText, WriteProfileText}; }
