// guidriver: looks at and drives another program's windows from inside the
// same Wine prefix, one command per run, answers on stdout as KEY=VALUE
// lines. Every wait is bounded; exit status 0 on success, 1 on failure or
// timeout, 2 on a usage error. See tests/gui/README.md.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "guiprobe.h"

namespace {

constexpr DWORD kDefaultTimeoutMs = 10000;
constexpr DWORD kPollMs = 50;

struct Options {
    const char* windowClass = nullptr;  // nullptr: any
    const char* title = nullptr;        // nullptr: any
    DWORD pid = 0;                      // 0: any
    HWND owner = nullptr;               // nullptr: any
    bool ownerGiven = false;
    DWORD timeoutMs = kDefaultTimeoutMs;
};

int Usage()
{
    std::fputs(
        "usage: guidriver COMMAND ...\n"
        "  find [--class C] [--title T] [--pid P] [--owner HWND] [--timeout MS]\n"
        "  gone HWND [--timeout MS]\n"
        "  info HWND | controls HWND | menu HWND\n"
        "  click HWND ID | command HWND ID | syscommand HWND close|minimize\n"
        "  combo HWND ID | select HWND ID INDEX\n"
        "  key HWND esc|enter|alt+f4|alt+LETTER\n",
        stderr);
    return 2;
}

unsigned long ParseNumber(const char* text) { return std::strtoul(text, nullptr, 0); }

HWND ParseWindow(const char* text) { return HWND(uintptr_t(std::strtoull(text, nullptr, 0))); }

// Quotes a text so that it stays on one line: \ " and control characters escaped.
std::string Quoted(const char* text)
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

std::string WindowText(HWND window)
{
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string ClassOf(HWND window)
{
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

bool Matches(HWND window, const Options& options)
{
    if (!IsWindowVisible(window)) return false;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (options.pid && pid != options.pid) return false;
    if (options.ownerGiven && GetWindow(window, GW_OWNER) != options.owner) return false;
    if (options.windowClass && ClassOf(window) != options.windowClass) return false;
    if (options.title && WindowText(window) != options.title) return false;
    return true;
}

struct Search {
    const Options* options;
    HWND found;
};

BOOL CALLBACK CheckTopLevel(HWND window, LPARAM context)
{
    Search& search = *reinterpret_cast<Search*>(context);
    if (!Matches(window, *search.options)) return TRUE;
    search.found = window;
    return FALSE;
}

void PrintRect(const char* name, const RECT& rect)
{
    std::printf("%s=%ld,%ld,%ld,%ld\n", name, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
}

int Find(const Options& options)
{
    DWORD start = GetTickCount();
    for (;;) {
        Search search{&options, nullptr};
        EnumWindows(CheckTopLevel, LPARAM(&search));
        if (search.found) {
            DWORD pid = 0;
            GetWindowThreadProcessId(search.found, &pid);
            std::printf("hwnd=%#llx\npid=%lu\n", (unsigned long long)uintptr_t(search.found), pid);
            return 0;
        }
        if (GetTickCount() - start >= options.timeoutMs) break;
        Sleep(kPollMs);
    }
    std::printf("error=no such window within %lu ms\n", options.timeoutMs);
    return 1;
}

int Gone(HWND window, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (GetTickCount() - start >= timeoutMs) {
            std::printf("error=window still there after %lu ms\n", timeoutMs);
            return 1;
        }
        Sleep(kPollMs);
    }
    std::puts("gone=1");
    return 0;
}

int Info(HWND window)
{
    if (!IsWindow(window)) {
        std::puts("error=no such window");
        return 1;
    }
    DWORD pid = 0;
    DWORD thread = GetWindowThreadProcessId(window, &pid);
    RECT windowRect, clientRect;
    GetWindowRect(window, &windowRect);
    GetClientRect(window, &clientRect);
    POINT clientOrigin = {0, 0};
    ClientToScreen(window, &clientOrigin);
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    GetGUIThreadInfo(thread, &gui);

    std::printf("class=%s\n", Quoted(ClassOf(window).c_str()).c_str());
    std::printf("text=%s\n", Quoted(WindowText(window).c_str()).c_str());
    std::printf("style=%#lx\n", (unsigned long)GetWindowLongA(window, GWL_STYLE));
    std::printf("exstyle=%#lx\n", (unsigned long)GetWindowLongA(window, GWL_EXSTYLE));
    PrintRect("rect", windowRect);
    std::printf("client=%ld,%ld,%ld,%ld\n", clientOrigin.x, clientOrigin.y, clientRect.right, clientRect.bottom);
    std::printf("owner=%#llx\n", (unsigned long long)uintptr_t(GetWindow(window, GW_OWNER)));
    std::printf("pid=%lu\n", pid);
    std::printf("visible=%d\nenabled=%d\n", IsWindowVisible(window) ? 1 : 0, IsWindowEnabled(window) ? 1 : 0);
    bool focusOnControl = gui.hwndFocus && (GetWindowLongA(gui.hwndFocus, GWL_STYLE) & WS_CHILD);
    std::printf("focus=%#llx\nfocus_id=%d\n", (unsigned long long)uintptr_t(gui.hwndFocus),
                focusOnControl ? GetDlgCtrlID(gui.hwndFocus) : 0);
    std::printf("active=%#llx\n", (unsigned long long)uintptr_t(gui.hwndActive));
    return 0;
}

struct ControlList {
    HWND parent;
};

BOOL CALLBACK PrintControl(HWND control, LPARAM context)
{
    HWND parent = reinterpret_cast<ControlList*>(context)->parent;
    if (GetParent(control) != parent) return TRUE;  // direct children only
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    // A button's check state: 0 unchecked, 1 checked, 2 indeterminate.
    bool button = _stricmp(ClassOf(control).c_str(), "Button") == 0;
    char checked[16] = "";
    if (button) std::snprintf(checked, sizeof checked, " checked=%d", int(SendMessageA(control, BM_GETCHECK, 0, 0)));
    std::printf("control id=%d class=%s style=%#lx rect=%ld,%ld,%ld,%ld visible=%d enabled=%d%s text=%s\n",
                GetDlgCtrlID(control), Quoted(ClassOf(control).c_str()).c_str(),
                (unsigned long)GetWindowLongA(control, GWL_STYLE), rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top, IsWindowVisible(control) ? 1 : 0, IsWindowEnabled(control) ? 1 : 0, checked,
                Quoted(WindowText(control).c_str()).c_str());
    return TRUE;
}

// Direct child windows in Z order (the dialog template's order), with their
// rectangles in the parent's client coordinates.
int Controls(HWND window)
{
    if (!IsWindow(window)) {
        std::puts("error=no such window");
        return 1;
    }
    ControlList list{window};
    EnumChildWindows(window, PrintControl, LPARAM(&list));
    return 0;
}

// Wine keeps a menu in the process that made it, so the menu bar is read
// from inside the program by guiprobe.dll, hooked into the window's thread.
int Menu(HWND window)
{
    if (!IsWindow(window)) {
        std::puts("error=no such window");
        return 1;
    }
    HANDLE mapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kProbeMemorySize, kProbeMemoryName);
    char* memory = mapping ? static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
    char probePath[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, probePath, sizeof probePath);
    while (length && probePath[length - 1] != '\\') --length;
    std::snprintf(probePath + length, sizeof probePath - length, "guiprobe.dll");
    HMODULE probe = LoadLibraryA(probePath);
    HOOKPROC hookProc = probe ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(probe, "GuiProbeCallWndProc"))) : nullptr;
    HHOOK hook = hookProc ? SetWindowsHookExA(WH_CALLWNDPROC, hookProc, probe,
                                              GetWindowThreadProcessId(window, nullptr))
                          : nullptr;
    int status = 1;
    if (!memory || !hook) {
        std::printf("error=cannot hook the window's thread (%lu)\n", GetLastError());
    } else {
        memory[0] = '\0';
        DWORD_PTR ignored;
        SendMessageTimeoutA(window, RegisterWindowMessageA(kProbeMenuMessage), 0, 0, SMTO_ABORTIFHUNG,
                            kDefaultTimeoutMs, &ignored);
        if (memory[0]) {
            std::fputs(memory, stdout);
            status = std::strncmp(memory, "error=", 6) == 0 ? 1 : 0;
        } else {
            std::puts("error=the probe did not answer");
        }
    }
    if (hook) UnhookWindowsHookEx(hook);
    if (memory) UnmapViewOfFile(memory);
    if (mapping) CloseHandle(mapping);
    return status;
}

int Click(HWND window, int id)
{
    HWND control = GetDlgItem(window, id);
    if (!control) {
        std::printf("error=no control %d\n", id);
        return 1;
    }
    // Posted: the click may open a modal dialog that would hold a sent message.
    PostMessageA(control, BM_CLICK, 0, 0);
    std::puts("clicked=1");
    return 0;
}

// A combo box's entries in list order (a sorted box's own order) and the
// selection (-1: none).
int Combo(HWND window, int id)
{
    HWND combo = GetDlgItem(window, id);
    if (!combo) {
        std::printf("error=no control %d\n", id);
        return 1;
    }
    LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    std::printf("count=%ld\nselected=%ld\n", long(count), long(SendMessageA(combo, CB_GETCURSEL, 0, 0)));
    for (LRESULT index = 0; index < count; ++index) {
        // Wine hands another process a list entry in UTF-16 only.
        LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, WPARAM(index), 0);
        std::vector<wchar_t> wide(length > 0 ? size_t(length) + 1 : 1, L'\0');
        if (length > 0) SendMessageW(combo, CB_GETLBTEXT, WPARAM(index), LPARAM(wide.data()));
        std::vector<char> text(wide.size() * 4, '\0');
        WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, text.data(), int(text.size()), nullptr, nullptr);
        std::printf("entry index=%ld text=%s\n", long(index), Quoted(text.data()).c_str());
    }
    return 0;
}

// What choosing an entry with the mouse does: the selection changes, then
// the combo box sends its dialog CBN_SELCHANGE. Sent here too, so the
// dialog has handled it when the command returns.
int Select(HWND window, int id, int index)
{
    HWND combo = GetDlgItem(window, id);
    if (!combo) {
        std::printf("error=no control %d\n", id);
        return 1;
    }
    if (SendMessageA(combo, CB_SETCURSEL, WPARAM(index), 0) == CB_ERR && index != -1) {
        std::printf("error=no entry %d\n", index);
        return 1;
    }
    DWORD_PTR ignored;
    if (!SendMessageTimeoutA(window, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), LPARAM(combo), SMTO_ABORTIFHUNG,
                             kDefaultTimeoutMs, &ignored)) {
        std::printf("error=the dialog did not take CBN_SELCHANGE (%lu)\n", GetLastError());
        return 1;
    }
    std::puts("selected=1");
    return 0;
}

int Command(HWND window, int id)
{
    PostMessageA(window, WM_COMMAND, WPARAM(id), 0);
    std::puts("posted=1");
    return 0;
}

int SysCommand(HWND window, const char* what)
{
    WPARAM command;
    if (!std::strcmp(what, "close")) command = SC_CLOSE;
    else if (!std::strcmp(what, "minimize")) command = SC_MINIMIZE;
    else return Usage();
    PostMessageA(window, WM_SYSCOMMAND, command, 0);
    std::puts("posted=1");
    return 0;
}

// The window that has the keyboard focus in the target's thread, where the
// keyboard would deliver the key.
HWND KeyboardTarget(HWND window)
{
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui);
    if (gui.hwndFocus) return gui.hwndFocus;
    if (gui.hwndActive) return gui.hwndActive;
    return window;
}

void PostKey(HWND target, UINT down, UINT up, UINT key, LPARAM extra)
{
    LPARAM scan = LPARAM(MapVirtualKeyA(key, MAPVK_VK_TO_VSC)) << 16;
    PostMessageA(target, down, key, 1 | scan | extra);
    PostMessageA(target, up, key, 1 | scan | extra | (LPARAM(1) << 30) | (LPARAM(1) << 31));
}

int Key(HWND window, const char* name)
{
    HWND target = KeyboardTarget(window);
    const LPARAM altDown = LPARAM(1) << 29;  // the context code: Alt is held
    if (!std::strcmp(name, "esc")) {
        PostKey(target, WM_KEYDOWN, WM_KEYUP, VK_ESCAPE, 0);
    } else if (!std::strcmp(name, "enter")) {
        PostKey(target, WM_KEYDOWN, WM_KEYUP, VK_RETURN, 0);
    } else if (!std::strcmp(name, "alt+f4")) {
        PostKey(target, WM_SYSKEYDOWN, WM_SYSKEYUP, VK_F4, altDown);
    } else if (!std::strncmp(name, "alt+", 4) && std::strlen(name) == 5 && std::isalpha((unsigned char)name[4])) {
        // A menu mnemonic: the keyboard gives WM_SYSCHAR after the key.
        char letter = char(std::tolower((unsigned char)name[4]));
        PostMessageA(target, WM_SYSKEYDOWN, VkKeyScanA(letter) & 0xff, 1 | altDown);
        PostMessageA(target, WM_SYSCHAR, WPARAM(letter), 1 | altDown);
        PostMessageA(target, WM_SYSKEYUP, VkKeyScanA(letter) & 0xff, 1 | altDown | (LPARAM(3) << 30));
    } else {
        return Usage();
    }
    std::printf("target=%#llx\n", (unsigned long long)uintptr_t(target));
    return 0;
}

bool ParseOptions(int argc, char** argv, int first, Options& options)
{
    for (int i = first; i < argc; i += 2) {
        if (i + 1 >= argc) return false;
        const char* name = argv[i];
        const char* value = argv[i + 1];
        if (!std::strcmp(name, "--class")) options.windowClass = value;
        else if (!std::strcmp(name, "--title")) options.title = value;
        else if (!std::strcmp(name, "--pid")) options.pid = DWORD(ParseNumber(value));
        else if (!std::strcmp(name, "--owner")) options.owner = ParseWindow(value), options.ownerGiven = true;
        else if (!std::strcmp(name, "--timeout")) options.timeoutMs = DWORD(ParseNumber(value));
        else return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return Usage();
    const char* command = argv[1];
    Options options;
    if (!std::strcmp(command, "find")) {
        if (!ParseOptions(argc, argv, 2, options)) return Usage();
        return Find(options);
    }
    if (argc < 3) return Usage();
    HWND window = ParseWindow(argv[2]);
    if (!std::strcmp(command, "gone")) {
        if (!ParseOptions(argc, argv, 3, options)) return Usage();
        return Gone(window, options.timeoutMs);
    }
    if (!std::strcmp(command, "info")) return Info(window);
    if (!std::strcmp(command, "controls")) return Controls(window);
    if (!std::strcmp(command, "menu")) return Menu(window);
    if (argc < 4) return Usage();
    if (!std::strcmp(command, "click")) return Click(window, int(ParseNumber(argv[3])));
    if (!std::strcmp(command, "command")) return Command(window, int(ParseNumber(argv[3])));
    if (!std::strcmp(command, "combo")) return Combo(window, int(ParseNumber(argv[3])));
    if (!std::strcmp(command, "select") && argc == 5)
        return Select(window, int(ParseNumber(argv[3])), int(std::strtol(argv[4], nullptr, 0)));
    if (!std::strcmp(command, "syscommand")) return SysCommand(window, argv[3]);
    if (!std::strcmp(command, "key")) return Key(window, argv[3]);
    return Usage();
}
