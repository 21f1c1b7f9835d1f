// guiprobe.dll: runs inside the driven program, in its user-interface thread,
// through a WH_CALLWNDPROC hook that guidriver installs for one message.
#include <windows.h>

#include <cstdio>
#include <string>

#include "guiprobe.h"

namespace {

// One line per menu bar item: position, command, whether it opens a pop-up,
// type and state flags, text.
std::string DescribeMenuBar(HWND window)
{
    HMENU menu = GetMenu(window);
    if (!menu) return "error=no menu\n";
    int count = GetMenuItemCount(menu);
    std::string out = "count=" + std::to_string(count) + "\n";
    for (int index = 0; index < count; ++index) {
        char text[256] = {};
        GetMenuStringA(menu, UINT(index), text, sizeof text, MF_BYPOSITION);
        MENUITEMINFOA item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_ID | MIIM_SUBMENU | MIIM_FTYPE | MIIM_STATE;
        GetMenuItemInfoA(menu, UINT(index), TRUE, &item);
        char line[512];
        std::snprintf(line, sizeof line, "item index=%d id=%u popup=%d type=%#x state=%#x text=%s\n", index,
                      item.wID, item.hSubMenu ? 1 : 0, item.fType, item.fState, Quoted(text).c_str());
        out += line;
    }
    return out;
}

// Stock objects are handles of the process that uses them, so the control's
// font is named here, inside the program.
std::string DescribeFont(HWND control)
{
    static const struct {
        int object;
        const char* name;
    } kStockFonts[] = {{SYSTEM_FIXED_FONT, "SYSTEM_FIXED_FONT"}, {SYSTEM_FONT, "SYSTEM_FONT"},
                       {ANSI_FIXED_FONT, "ANSI_FIXED_FONT"}, {ANSI_VAR_FONT, "ANSI_VAR_FONT"},
                       {OEM_FIXED_FONT, "OEM_FIXED_FONT"}, {DEVICE_DEFAULT_FONT, "DEVICE_DEFAULT_FONT"},
                       {DEFAULT_GUI_FONT, "DEFAULT_GUI_FONT"}};
    HGDIOBJ font = HGDIOBJ(SendMessageA(control, WM_GETFONT, 0, 0));
    const char* stock = "none";
    for (const auto& candidate : kStockFonts)
        if (font && font == GetStockObject(candidate.object)) stock = candidate.name;
    char line[128];
    std::snprintf(line, sizeof line, "font=%#llx\nstock=%s\n", (unsigned long long)uintptr_t(font), stock);
    return line;
}

void Answer(const std::string& text)
{
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, kProbeMemoryName);
    if (!mapping) return;
    if (char* memory = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, kProbeMemorySize))) {
        size_t size = text.size() < kProbeMemorySize - 1 ? text.size() : kProbeMemorySize - 1;
        memcpy(memory, text.data(), size);
        memory[size] = '\0';
        UnmapViewOfFile(memory);
    }
    CloseHandle(mapping);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK GuiProbeCallWndProc(int code, WPARAM wParam, LPARAM lParam)
{
    static const UINT menuMessage = RegisterWindowMessageA(kProbeMenuMessage);
    static const UINT fontMessage = RegisterWindowMessageA(kProbeFontMessage);
    if (code == HC_ACTION) {
        const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (call->message == menuMessage) Answer(DescribeMenuBar(call->hwnd));
        if (call->message == fontMessage) Answer(DescribeFont(call->hwnd));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
