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
#include <initializer_list>

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
    DWORD intervalMs = 10;
    DWORD goneTimeoutMs = 0;  // 0: do not wait
    bool differs = false;
    DWORD times = 1;
};

int Usage()
{
    std::fputs(
        "usage: guidriver COMMAND ...\n"
        "  find [--class C] [--title T] [--pid P] [--owner HWND] [--timeout MS]\n"
        "  gone HWND [--timeout MS]\n"
        "  info HWND | controls HWND | menu HWND\n"
        "  click HWND ID [--times N] [--gone MS] | command HWND ID | syscommand HWND close|minimize\n"
        "  key HWND esc|enter|alt+f4|alt+LETTER\n"
        "  text HWND ID | settext HWND ID TEXT | font HWND ID\n"
        "  combo HWND ID | select HWND ID INDEX\n"
        "  waittext HWND ID TEXT [--differs] [--timeout MS]\n"
        "  watch HWND ID [--timeout MS] [--interval MS]\n",
        stderr);
    return 2;
}

unsigned long ParseNumber(const char* text) { return std::strtoul(text, nullptr, 0); }

HWND ParseWindow(const char* text) { return HWND(uintptr_t(std::strtoull(text, nullptr, 0))); }

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

bool IsGone(HWND window) { return !IsWindow(window) || !IsWindowVisible(window); }

int Gone(HWND window, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (!IsGone(window)) {
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

// Wine keeps a menu (and a font) in the process that made it, so these are
// read from inside the program by guiprobe.dll, hooked into the window's
// thread; the probe answers `message` through shared memory.
int AskProbe(HWND window, const char* message)
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
        SendMessageTimeoutA(window, RegisterWindowMessageA(message), 0, 0, SMTO_ABORTIFHUNG,
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

// Clicks `times` times in a row, quicker than a hand could. With
// goneTimeoutMs, also waits until the window is gone and says how long
// that took from the click.
int Menu(HWND window) { return AskProbe(window, kProbeMenuMessage); }

int Click(HWND window, int id, DWORD goneTimeoutMs, DWORD times)
{
    HWND control = GetDlgItem(window, id);
    if (!control) {
        std::printf("error=no control %d\n", id);
        return 1;
    }
    // Posted: the click may open a modal dialog that would hold a sent message.
    DWORD start = GetTickCount();
    for (DWORD click = 0; click < times; ++click) PostMessageA(control, BM_CLICK, 0, 0);
    std::printf("clicked=%lu\n", times);
    if (!goneTimeoutMs) return 0;
    while (!IsGone(window)) {
        if (GetTickCount() - start >= goneTimeoutMs) {
            std::printf("error=window still there after %lu ms\n", goneTimeoutMs);
            return 1;
        }
        Sleep(1);
    }
    std::printf("gone_ms=%lu\n", GetTickCount() - start);
    return 0;
}

// Sent, not read from the window record: only the control's own procedure
// knows the text of an edit field or combo box in another process.
bool ControlText(HWND control, std::string& text)
{
    char buffer[1024] = {};
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(control, WM_GETTEXT, sizeof buffer, LPARAM(buffer), SMTO_ABORTIFHUNG,
                             kDefaultTimeoutMs, &length))
        return false;
    text = buffer;
    return true;
}

HWND ControlOf(HWND window, int id)
{
    HWND control = GetDlgItem(window, id);
    if (!control) std::printf("error=no control %d\n", id);
    return control;
}

int Text(HWND window, int id)
{
    HWND control = ControlOf(window, id);
    std::string text;
    if (!control) return 1;
    if (!ControlText(control, text)) {
        std::puts("error=the control did not answer");
        return 1;
    }
    std::printf("text=%s\n", Quoted(text.c_str()).c_str());
    return 0;
}

// The edit field where typed text lands: the control itself, or the one
// inside a combo box (an extended combo box holds a combo box holding it).
HWND TypingTarget(HWND control)
{
    for (int depth = 0; depth < 3; ++depth) {
        if (!_stricmp(ClassOf(control).c_str(), "Edit")) return control;
        HWND inner = FindWindowExA(control, nullptr, nullptr, nullptr);
        HWND edit = FindWindowExA(control, nullptr, "Edit", nullptr);
        if (edit) return edit;
        if (!inner) break;
        control = inner;
    }
    return control;
}

// What typing into the control leaves in it.
int SetText(HWND window, int id, const char* text)
{
    HWND control = ControlOf(window, id);
    if (!control) return 1;
    control = TypingTarget(control);
    DWORD_PTR ignored;
    if (!SendMessageTimeoutA(control, WM_SETTEXT, 0, LPARAM(text), SMTO_ABORTIFHUNG, kDefaultTimeoutMs,
                             &ignored)) {
        std::puts("error=the control did not answer");
        return 1;
    }
    std::puts("set=1");
    return 0;
}

// The control's font as the program itself names it (the probe asks).
int Font(HWND window, int id)
{
    HWND control = ControlOf(window, id);
    if (!control) return 1;
    return AskProbe(control, kProbeFontMessage);
}

int Combo(HWND window, int id)
{
    HWND control = ControlOf(window, id);
    if (!control) return 1;
    DWORD_PTR selected = 0, count = 0;
    SendMessageTimeoutA(control, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, kDefaultTimeoutMs, &selected);
    SendMessageTimeoutA(control, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kDefaultTimeoutMs, &count);
    std::printf("selected=%lld\ncount=%lld\n", (long long)LRESULT(selected), (long long)LRESULT(count));
    for (LRESULT index = 0; index < LRESULT(count); ++index) {
        // Asked for in UTF-16: Wine hands an item's ANSI text between
        // processes cut after its first character.
        wchar_t wide[1024] = {};
        char text[1024] = {};
        DWORD_PTR length = 0;
        SendMessageTimeoutW(control, CB_GETLBTEXT, WPARAM(index), LPARAM(wide), SMTO_ABORTIFHUNG,
                            kDefaultTimeoutMs, &length);
        WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
        std::printf("item index=%lld text=%s\n", (long long)index, Quoted(text).c_str());
    }
    return 0;
}

// As a choice from the drop-down list: the selection moves and the parent
// hears of it (CBN_SELENDOK, CBN_SELCHANGE).
int Select(HWND window, int id, int index)
{
    HWND control = ControlOf(window, id);
    if (!control) return 1;
    DWORD_PTR result = 0;
    SendMessageTimeoutA(control, CB_SETCURSEL, WPARAM(index), 0, SMTO_ABORTIFHUNG, kDefaultTimeoutMs, &result);
    if (LRESULT(result) != index) {
        std::printf("error=no item %d\n", index);
        return 1;
    }
    // What a click on an item of the dropped-down list tells the parent.
    // Sent, as the combo box sends them: the parent has handled both when
    // the command returns.
    for (WORD notification : {WORD(CBN_SELENDOK), WORD(CBN_SELCHANGE)}) {
        DWORD_PTR ignored;
        if (!SendMessageTimeoutA(window, WM_COMMAND, MAKEWPARAM(id, notification), LPARAM(control),
                                 SMTO_ABORTIFHUNG, kDefaultTimeoutMs, &ignored)) {
            std::printf("error=the parent did not answer (%lu)\n", GetLastError());
            return 1;
        }
    }
    std::puts("selected=1");
    return 0;
}

int WaitText(HWND window, int id, const char* wanted, bool differs, DWORD timeoutMs)
{
    HWND control = ControlOf(window, id);
    if (!control) return 1;
    DWORD start = GetTickCount();
    for (;;) {
        std::string text;
        if (ControlText(control, text) && (text == wanted) != differs) {
            std::printf("text=%s\n", Quoted(text.c_str()).c_str());
            return 0;
        }
        if (GetTickCount() - start >= timeoutMs) break;
        Sleep(10);
    }
    std::printf("error=text not as wanted within %lu ms\n", timeoutMs);
    return 1;
}

// Reads the control's text every interval until its window is gone or
// disabled (a modal dialog over it); one line per change of text, the last
// one read after the end was seen.
int Watch(HWND window, int id, DWORD timeoutMs, DWORD intervalMs)
{
    HWND control = ControlOf(window, id);
    if (!control) return 1;
    DWORD start = GetTickCount();
    std::string last;
    bool first = true;
    for (;;) {
        const char* end = IsGone(window) ? "gone" : !IsWindowEnabled(window) ? "disabled" : nullptr;
        std::string text;
        if (!IsGone(window) && ControlText(control, text) && (first || text != last)) {
            std::printf("sample ms=%lu text=%s\n", GetTickCount() - start, Quoted(text.c_str()).c_str());
            std::fflush(stdout);
            last = text;
            first = false;
        }
        if (end) {
            std::printf("end=%s\nms=%lu\n", end, GetTickCount() - start);
            return 0;
        }
        if (GetTickCount() - start >= timeoutMs) break;
        Sleep(intervalMs);
    }
    std::printf("end=timeout\nms=%lu\n", GetTickCount() - start);
    return 1;
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
        if (!std::strcmp(argv[i], "--differs")) {
            options.differs = true;
            --i;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* name = argv[i];
        const char* value = argv[i + 1];
        if (!std::strcmp(name, "--class")) options.windowClass = value;
        else if (!std::strcmp(name, "--title")) options.title = value;
        else if (!std::strcmp(name, "--pid")) options.pid = DWORD(ParseNumber(value));
        else if (!std::strcmp(name, "--owner")) options.owner = ParseWindow(value), options.ownerGiven = true;
        else if (!std::strcmp(name, "--timeout")) options.timeoutMs = DWORD(ParseNumber(value));
        else if (!std::strcmp(name, "--interval")) options.intervalMs = DWORD(ParseNumber(value));
        else if (!std::strcmp(name, "--gone")) options.goneTimeoutMs = DWORD(ParseNumber(value));
        else if (!std::strcmp(name, "--times")) options.times = DWORD(ParseNumber(value));
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
    if (!std::strcmp(command, "syscommand")) return SysCommand(window, argv[3]);
    if (!std::strcmp(command, "key")) return Key(window, argv[3]);
    int id = int(ParseNumber(argv[3]));
    if (!std::strcmp(command, "command")) return Command(window, id);
    if (!std::strcmp(command, "click")) {
        if (!ParseOptions(argc, argv, 4, options)) return Usage();
        return Click(window, id, options.goneTimeoutMs, options.times);
    }
    if (!std::strcmp(command, "text")) return Text(window, id);
    if (!std::strcmp(command, "font")) return Font(window, id);
    if (!std::strcmp(command, "combo")) return Combo(window, id);
    if (!std::strcmp(command, "watch")) {
        if (!ParseOptions(argc, argv, 4, options)) return Usage();
        return Watch(window, id, options.timeoutMs, options.intervalMs);
    }
    if (argc < 5) return Usage();
    if (!std::strcmp(command, "settext")) return SetText(window, id, argv[4]);
    if (!std::strcmp(command, "select")) return Select(window, id, int(ParseNumber(argv[4])));
    if (!std::strcmp(command, "waittext")) {
        if (!ParseOptions(argc, argv, 5, options)) return Usage();
        return WaitText(window, id, argv[4], options.differs, options.timeoutMs);
    }
    return Usage();
}
