// What guidriver and its probe, guiprobe.dll, share. The probe is loaded into
// the driven program by a window hook and answers from inside it what Wine
// does not let another process read: the menu bar, a control's font.
#pragma once

#include <cstdio>
#include <string>

// The driver creates this shared memory, hooks the window's thread and sends
// the window kProbeMenuMessage; the hook, in the program's own thread, writes
// the menu bar into the memory as text lines, ending in a zero byte.
constexpr const char* kProbeMemoryName = "QuorvaneGuiProbeMemory";
constexpr const char* kProbeMenuMessage = "QuorvaneGuiProbeMenu";
constexpr unsigned kProbeMemorySize = 65536;
// Sent to a control: the probe answers "font=HANDLE" and "stock=NAME", the
// stock font (SYSTEM_FIXED_FONT, ...) the control draws with, or "none".
constexpr const char* kProbeFontMessage = "QuorvaneGuiProbeFont";

// Quotes a text so that it stays on one line: \ " and control characters
// escaped, as the harness reads them back.
inline std::string Quoted(const char* text)
{
    std::string out = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += char(*p);
        } else if (*p < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", *p);
            out += escape;
        } else {
            out += char(*p);
        }
    }
    return out + "\"";
}
