// quorvane.exe under Wine, driven from outside as a user drives it: the main
// window and the exit prompt, the Write command with quorvane-sim behind
// COM5, the port settings dialog. Each case runs on an X server and in a Wine
// prefix of its own (run_gui_test.sh, README.md); what the resource script
// lays out is checked as data by tests/ui/check_resources.sh.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kWaitMs = 20000;
constexpr int kWriteCommand = 301, kExitCommand = 303;
constexpr int kAbort = 3, kByteCount = 206, kPortList = 201, kFileTypes = 1136, kFileName = 1148;
constexpr int kBaud19200 = 202, kBaud9600 = 203, kBaud4800 = 204, kBaud38400 = 205;
constexpr int kAll = 1 << 30;  // frames: the whole job
const char kSettingsPath[] = "C:\\windows\\KORVIN.INI";
const char kSerialMap[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char kParallelMap[] = "HARDWARE\\DEVICEMAP\\PARALLEL PORTS";

// -- files, native programs ----------------------------------------------------

template <typename Check>
bool WaitFor(Check check, DWORD timeoutMs = kWaitMs)
{
    for (DWORD start = GetTickCount(); !check(); Sleep(20))
        if (GetTickCount() - start > timeoutMs) return false;
    return true;
}

// QUORVANE_GUI_NAME, a Linux path set by run_gui_test.sh; Dos(): as Wine sees it.
std::string Var(const char* name)
{
    char value[1024] = {};
    GetEnvironmentVariableA((std::string("QUORVANE_GUI_") + name).c_str(), value, sizeof value);
    return value;
}

std::string Dos(std::string path)
{
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

bool ReadBytes(const std::string& path, std::string& bytes)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    char block[4096];
    bytes.clear();
    for (size_t count; file && (count = std::fread(block, 1, sizeof block, file)) > 0;) bytes.append(block, count);
    return file && std::fclose(file) == 0;
}

bool WriteBytes(const std::string& path, const std::string& bytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    return file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && std::fclose(file) == 0;
}

// Runs /bin/sh -c SCRIPT BASE ARGV...: Wine starts a Linux program but gives
// no handle to it, so a long-running one leaves its process id in BASE.pid,
// by which run_gui_test.sh stops it after the test.
bool StartUnix(const char* script, const std::string& base, std::vector<std::string> argv)
{
    argv.insert(argv.begin(), {"/bin/sh", "-c", script, base});
    std::string line;
    for (std::string arg : argv) {  // quoted by Windows' rules (no backslashes here)
        for (size_t at = arg.find('"'); at != arg.npos; at = arg.find('"', at + 2)) arg.insert(at, "\\");
        line += (arg.find_first_of(" \"") == arg.npos ? arg : "\"" + arg + "\"") + " ";
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION none = {};
    return CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &none);
}

// quorvane-sim behind the prefix's COM5; the file of every byte it receives.
std::string StartDevice(std::vector<std::string> options)
{
    static int devices;
    std::string base = Var("WORK") + "/sim-" + std::to_string(++devices), out;
    options.insert(options.begin(), {Var("SIM"), "--link", Var("PREFIX") + "/dosdevices/com5", "--raw", base + ".raw"});
    // Its first line, printed once COM5 leads to its pty, is the pty's path.
    bool linked = StartUnix("echo $$ >\"$0.pid\"; exec \"$@\" >\"$0.out\" 2>\"$0.err\"", base, options) &&
                  WaitFor([&] { return ReadBytes(Dos(base + ".out"), out) && out.find('\n') != out.npos; });
    return linked ? Dos(base + ".raw") : "";
}

// What a write job sends for a file (quorvane-cli frames --raw): the start
// sequence, frames 02 LEN ADDR(4) DATA 03 CRC(2), the end sequence.
struct Job {
    std::string raw;
    std::vector<size_t> frameEnds;
    std::vector<long> totals;  // data bytes up to each frame's end
};

Job JobFor(const char* example)
{
    Job job;
    std::string out = Var("WORK") + "/" + example + ".raw";
    if (!StartUnix("\"$@\" >\"$0.part\" && mv \"$0.part\" \"$0\"", out,
                   {Var("CLI"), "frames", "--raw", Var("EXAMPLES") + "/" + example}) ||
        !WaitFor([&] { return ReadBytes(Dos(out), job.raw); }))
        return job;
    for (size_t at = 7; at + 1 < job.raw.size() && job.raw[at] == 2; at = job.frameEnds.back()) {
        job.frameEnds.push_back(at + 9 + (unsigned char)job.raw[at + 1]);
        job.totals.push_back((job.totals.empty() ? 0 : job.totals.back()) + (unsigned char)job.raw[at + 1]);
    }
    return job;
}

std::string SentBy(const Job& job, int frames)
{
    if (frames == 0) return "";
    return size_t(frames) >= job.frameEnds.size() ? job.raw : job.raw.substr(0, job.frameEnds[size_t(frames) - 1]);
}

// What the device has received, once it is all there (or after 5 s).
std::string Received(const std::string& raw, const std::string& wanted)
{
    std::string received;
    WaitFor([&] { return ReadBytes(raw, received) && received == wanted; }, wanted.empty() ? 0 : 5000);
    return received;
}

std::string Count(long total)
{
    char text[16];
    std::snprintf(text, sizeof text, "%8ld", total);
    return text;
}

// -- the program and its windows -------------------------------------------------

struct App {
    HANDLE process;
    DWORD pid;
    HWND main;
};
std::vector<HANDLE> theApps;

// A visible top-level window of the process; title nullptr: any.
HWND FindOf(DWORD pid, const char* windowClass, const char* title)
{
    HWND window = GetTopWindow(nullptr);
    for (; window; window = GetWindow(window, GW_HWNDNEXT)) {
        DWORD owner = 0;
        char name[256] = {}, text[256] = {};
        GetWindowThreadProcessId(window, &owner);
        GetClassNameA(window, name, sizeof name);
        GetWindowTextA(window, text, sizeof text);
        if (owner == pid && IsWindowVisible(window) && !strcmp(name, windowClass) && (!title || !strcmp(text, title)))
            break;
    }
    return window;
}

HWND WaitDialog(DWORD pid, const char* title)
{
    HWND found = nullptr;
    WaitFor([&] { return (found = FindOf(pid, "#32770", title)) != nullptr; });
    return found;
}

bool WaitGone(HWND window) { return WaitFor([&] { return !IsWindowVisible(window); }); }

// Back in the main window: no modal dialog is left, shown or not.
bool WaitMainEnabled(const App& app) { return WaitFor([&] { return IsWindowEnabled(app.main) != FALSE; }); }

App StartApp()
{
    CreateDirectoryA("C:\\firmware", nullptr);
    std::string line = Dos(Var("APP"));
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    App app = {nullptr, 0, nullptr};
    if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, "C:\\firmware", &startup, &process)) {
        CloseHandle(process.hThread);
        theApps.push_back(app.process = process.hProcess);
        app.pid = process.dwProcessId;
        WaitFor([&] { return (app.main = FindOf(app.pid, "PELMARIX", nullptr)) != nullptr; });
    }
    return app;
}

bool Ended(const App& app, DWORD timeoutMs, DWORD& exitCode)
{
    return WaitForSingleObject(app.process, timeoutMs) == WAIT_OBJECT_0 && GetExitCodeProcess(app.process, &exitCode);
}

void StopApps()
{
    for (HANDLE app : theApps) TerminateProcess(app, 1), WaitForSingleObject(app, kWaitMs), CloseHandle(app);
    theApps.clear();
}

LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kWaitMs, &result);
    return LRESULT(result);
}

// As the window's own procedure gives it: edit fields and combo boxes too.
std::string Text(HWND window)
{
    char text[1024] = {};
    Ask(window, WM_GETTEXT, sizeof text, LPARAM(text));
    return text;
}

bool Shows(HWND dialog, const char* text) { return FindWindowExA(dialog, nullptr, "Static", text) != nullptr; }

void Click(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// As the keyboard would post it, once the focus is in the window.
void PressKey(HWND window, UINT key, bool alt = false)
{
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    WaitFor([&] { return GetGUIThreadInfo(thread, &gui) && gui.hwndActive == window; });
    HWND target = gui.hwndFocus ? gui.hwndFocus : window;
    LPARAM flags = 1 | LPARAM(MapVirtualKeyA(key, MAPVK_VK_TO_VSC)) << 16 | (alt ? LPARAM(1) << 29 : 0);
    PostMessageA(target, alt ? WM_SYSKEYDOWN : WM_KEYDOWN, key, flags);
    if (alt && key >= 'A' && key <= 'Z') PostMessageA(target, WM_SYSCHAR, key - 'A' + 'a', flags);
    PostMessageA(target, alt ? WM_SYSKEYUP : WM_KEYUP, key, flags | LPARAM(3) << 30);
}

// A button's identifier (IDOK..IDNO) clicks it; anything else is a key (Alt+F4 for VK_F4).
void Answer(HWND dialog, UINT answer)
{
    if (answer <= IDNO) Click(dialog, int(answer));
    else PressKey(dialog, answer, answer == VK_F4);
}

// Into the Explorer-style chooser's file-name field (cmb13), then Open.
void TypeFileName(HWND chooser, const char* name)
{
    Ask(GetDlgItem(chooser, kFileName), WM_SETTEXT, 0, LPARAM(name));
    Click(chooser, IDOK);
}

std::vector<std::string> ComboItems(HWND dialog, int id)
{
    std::vector<std::string> items;
    HWND combo = GetDlgItem(dialog, id);
    for (LRESULT index = 0, count = Ask(combo, CB_GETCOUNT, 0, 0); index < count; ++index) {
        // In UTF-16: Wine cuts an item's ANSI text between processes after its first character.
        wchar_t wide[512] = {};
        char text[512] = {};
        DWORD_PTR ignored;
        SendMessageTimeoutW(combo, CB_GETLBTEXT, WPARAM(index), LPARAM(wide), SMTO_ABORTIFHUNG, kWaitMs, &ignored);
        WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
        items.push_back(text);
    }
    return items;
}

int Selection(HWND dialog, int id) { return int(Ask(GetDlgItem(dialog, id), CB_GETCURSEL, 0, 0)); }

// As a click in the dropped-down list: the parent hears of it.
void Choose(HWND dialog, int id, int index)
{
    HWND combo = GetDlgItem(dialog, id);
    Ask(combo, CB_SETCURSEL, WPARAM(index), 0);
    Ask(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELENDOK), LPARAM(combo));
    Ask(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), LPARAM(combo));
}

// -- the registry's device maps ----------------------------------------------

struct MapValue {
    std::string name;
    DWORD type;
    std::string data;
};

std::vector<MapValue> ReadMap(const char* key)
{
    std::vector<MapValue> values;
    HKEY map;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &map)) return values;
    char name[1024], data[1024];
    for (DWORD index = 0, nameSize = sizeof name, dataSize = sizeof data, type;
         !RegEnumValueA(map, index, name, &nameSize, nullptr, &type, LPBYTE(data), &dataSize);
         ++index, nameSize = sizeof name, dataSize = sizeof data)
        values.push_back({name, type, data});
    RegCloseKey(map);
    return values;
}

bool SetMapValue(const char* key, const MapValue& value, bool present)
{
    HKEY map;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &map)) return false;
    LONG status = present ? RegSetValueExA(map, value.name.c_str(), 0, value.type, LPCBYTE(value.data.c_str()),
                                           DWORD(value.data.size() + 1))
                          : RegDeleteValueA(map, value.name.c_str());
    RegCloseKey(map);
    return status == ERROR_SUCCESS;
}

// Wine has built the maps from the template's ports: the serial ones (COM3,
// COM10, and the machine's own), then the parallel ones, LPT1 and last LPT2.
bool WaitForWineMaps()
{
    return WaitFor([] {
        std::vector<MapValue> map = ReadMap(kParallelMap);
        return std::any_of(map.begin(), map.end(), [](const MapValue& v) { return v.data == "\\DosDevices\\LPT2"; });
    });
}

// -- the screen ----------------------------------------------------------------

// 24 bits a pixel, bottom-up rows: of the screen under RECT, or of TEXT drawn
// in the stock FONT as a right-aligned static control of a dialog draws it.
std::string Pixels(const RECT& rect, const char* text = nullptr, int font = 0)
{
    RECT own = {0, 0, rect.right - rect.left, rect.bottom - rect.top};
    BITMAPINFO info = {{sizeof info.bmiHeader, own.right, own.bottom, 1, 24, BI_RGB, 0, 0, 0, 0, 0}, {}};
    void* bits = nullptr;
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    SelectObject(memory, bitmap);
    if (text) {
        SelectObject(memory, GetStockObject(font));
        FillRect(memory, &own, GetSysColorBrush(COLOR_3DFACE));
        SetTextColor(memory, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(memory, GetSysColor(COLOR_3DFACE));
        DrawTextA(memory, text, -1, &own, DT_RIGHT | DT_WORDBREAK);
    } else {
        BitBlt(memory, 0, 0, own.right, own.bottom, screen, rect.left, rect.top, SRCCOPY);
    }
    GdiFlush();
    std::string pixels(LPCSTR(bits), size_t((own.right * 3 + 3) & ~3) * size_t(own.bottom));
    DeleteDC(memory);
    DeleteObject(bitmap);
    ReleaseDC(nullptr, screen);
    return pixels;
}

RECT Place(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    return rect;
}

bool ShowsInFont(HWND control, const char* text, int font)
{
    return Pixels(Place(control)) == Pixels(Place(control), text, font);
}

// SCREENSHOTS/NAME.bmp (run_gui_test.sh makes NAME.png of it), once the
// window has painted and two looks 50 ms apart agree.
void Screenshot(HWND window, const std::string& name)
{
    UpdateWindow(window);
    RECT rect = Place(window);
    std::string pixels = Pixels(rect), again;
    for (int look = 0; look < 40 && (again = Pixels(rect)) != pixels; ++look, Sleep(50)) pixels = again;
    BITMAPINFOHEADER info = {sizeof info, rect.right - rect.left, rect.bottom - rect.top, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    DWORD headers = sizeof(BITMAPFILEHEADER) + sizeof info;
    BITMAPFILEHEADER file = {0x4d42, DWORD(headers + pixels.size()), 0, 0, headers};
    WriteBytes(Dos(Var("SCREENSHOTS") + "/" + name + ".bmp"),
               std::string(LPCSTR(&file), sizeof file) + std::string(LPCSTR(&info), sizeof info) + pixels);
}

// -- the cases -------------------------------------------------------------------

std::string Settings(int baudSelector, int portCode)
{
    char text[64];
    std::snprintf(text, sizeof text, "[PELMARIX]\r\nPORT1=%04x\r\nPORT4=%04x\r\n", baudSelector, portCode);
    return text;
}

std::string SettingsNow()
{
    std::string text;
    return ReadBytes(kSettingsPath, text) ? text : "(no file)";
}

// After a failure, the whole screen as it was: SCREENSHOTS/failed-SUITE.CASE.png.
struct Gui : ::testing::Test {
    void TearDown() override
    {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        if (HasFailure()) Screenshot(GetDesktopWindow(), std::string("failed-") + test->test_suite_name() + "." + test->name());
        StopApps();
    }
};
struct Shell : Gui {};
struct Write : Gui {};
struct Port : Gui {};

void LeaveSaving(const App& app)
{
    PostMessageA(app.main, WM_COMMAND, kExitCommand, 0);
    HWND prompt = WaitDialog(app.pid, "Exit");
    ASSERT_TRUE(prompt);
    Click(prompt, IDYES);
    DWORD code = 1;
    ASSERT_TRUE(Ended(app, kWaitMs, code));
}

// -- the main window and the exit prompt ---------------------------------------

// A file the program reads but would never write so: any save shows.
const char kOdd[] = "[PELMARIX]\r\nPORT1=CD\r\nPORT4=00031\r\n";
const char kOddSaved[] = "[PELMARIX]\r\nPORT1=00cd\r\nPORT4=0003\r\n";

struct ExitCase {
    const char* name;
    const char* before;  // the settings file at the start; nullptr: none
    UINT open;           // Alt+E (the Exit command's mnemonic), Alt+F4, or 0: the close box
    UINT answer;         // a button clicked, or a key
    bool ends;
    const char* after;
};
const ExitCase kExitCases[] = {
    {"Exit command, YES without a file: the defaults saved", nullptr, 'E', IDYES, true,
     "[PELMARIX]\r\nPORT1=00cb\r\nPORT4=0000\r\n"},
    {"close box, NO: nothing saved", kOdd, 0, IDNO, true, kOdd},
    {"Alt+F4, CANCEL: the program stays", kOdd, VK_F4, IDCANCEL, false, kOdd},
    {"Exit command, Enter is YES: what was loaded saved", kOdd, 'E', VK_RETURN, true, kOddSaved},
};

TEST_F(Shell, ExitPrompt)
{
    for (const ExitCase& row : kExitCases) {
        SCOPED_TRACE(row.name);
        DeleteFileA(kSettingsPath);
        ASSERT_TRUE(!row.before || WriteBytes(kSettingsPath, row.before));
        App app = StartApp();
        ASSERT_TRUE(app.main);
        if (&row == kExitCases) {  // the main window as the code makes it (its menu is resource data)
            char title[64] = {};
            RECT place = Place(app.main);
            GetWindowTextA(app.main, title, sizeof title);
            EXPECT_STREQ(title, "Quorvane  Ver2.2.0.1");
            EXPECT_EQ(std::vector<LONG>({place.left, place.top, place.right - place.left, place.bottom - place.top}),
                      std::vector<LONG>({20, 20, 480, 80}));
            LONG style = GetWindowLongA(app.main, GWL_STYLE);
            EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
                      WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
            Screenshot(app.main, "main_window");
        }
        if (row.open) PressKey(app.main, row.open, true);
        else PostMessageA(app.main, WM_SYSCOMMAND, SC_CLOSE, 0);
        HWND prompt = WaitDialog(app.pid, "Exit");
        ASSERT_TRUE(prompt);
        EXPECT_EQ(GetWindow(prompt, GW_OWNER), app.main);
        if (&row == kExitCases) Screenshot(prompt, "exit_prompt");
        Answer(prompt, row.answer);
        ASSERT_TRUE(WaitGone(prompt));
        DWORD code = 1;
        EXPECT_EQ(Ended(app, row.ends ? kWaitMs : 500, code), row.ends);
        EXPECT_TRUE(!row.ends || code == 0) << "exit code " << code;
        EXPECT_EQ(SettingsNow(), row.after ? row.after : "(no file)");
        if (!row.ends) {  // still answering, with the settings it loaded: YES saves them
            ASSERT_TRUE(WaitMainEnabled(app));
            LeaveSaving(app);
            EXPECT_EQ(SettingsNow(), kOddSaved);
        }
        StopApps();
    }
}

// -- the Write command ---------------------------------------------------------

// Sets COM5's line to what no port set-up leaves (300 baud, two stop bits:
// Wine keeps a pty at 8 bits without parity), or tells whether it is still
// so, the program not having opened the port.
bool LineScrambled(bool scramble)
{
    HANDLE port = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DCB line = {};
    line.DCBlength = sizeof line;
    bool read = port != INVALID_HANDLE_VALUE && GetCommState(port, &line);
    line.BaudRate = 300;
    line.StopBits = TWOSTOPBITS;
    read = read && (!scramble || (SetCommState(port, &line) && GetCommState(port, &line)));
    CloseHandle(port);
    return read && line.BaudRate == 300 && line.StopBits == TWOSTOPBITS;
}

bool CopyFirmware()
{
    CreateDirectoryA("C:\\firmware", nullptr);
    return CopyFileA(Dos(Var("EXAMPLES") + "/worked-example.mot").c_str(), "C:\\firmware\\WORKED.MOT", FALSE) &&
           CopyFileA(Dos(Var("EXAMPLES") + "/demo-firmware.mot").c_str(), "C:\\firmware\\DEMO.MOT", FALSE);
}

// The device's own USB virtual serial port, as Windows names it in the map.
const MapValue kDeviceUsbPort = {"\\??\\USB#Vid_0d5c&Pid_0002#5&2c5e1a0&0&1", REG_SZ, "COM5"};

struct WriteCase {
    const char* name;
    int portCode;
    std::vector<std::string> device;  // quorvane-sim's options
    bool deviceUsbPort;               // COM5 under the device's USB name in the serial map
    int fileType;                     // chosen in the chooser (0: as it opens)
    const char* typed;                // into the chooser; nullptr: Cancel
    const char* file;                 // in C:\firmware, what it opens
    int confirm;                      // 0: no confirmation comes; IDOK, IDCANCEL or VK_ESCAPE
    int aborts;                       // ABORT pressed so many times at once in the write dialog
    const char* message;              // the outcome shown (Esc closes it); nullptr: none
    int counted;                      // the counter then shows the total after so many frames; -1: not looked at
    int sent;                         // frames the device received; 0: the port was never opened
};
const WriteCase kWriteCases[] = {
    {"chooser cancelled", 5, {}, false, 0, nullptr, "WORKED.MOT", 0, 0, nullptr, -1, 0},
    {"a missing file: Write Error ! without a confirmation", 5, {}, false, 0, "C:\\firmware\\MISSING.MOT",
     "WORKED.MOT", 0, 0, "Write Error !", -1, 0},
    {"a name without its extension gets .MOT; CANCEL in the confirmation", 5, {}, false, 0, "C:\\firmware\\WORKED",
     "WORKED.MOT", IDCANCEL, 0, nullptr, -1, 0},
    {"no port (code 0): Write Error ! after the confirmation", 0, {}, false, 0, "C:\\firmware\\WORKED.MOT",
     "WORKED.MOT", IDOK, 0, "Write Error !", 0, 0},
    {"NAK of frame 3: Write Error !, nothing sent after it", 5, {"--nak", "3"}, false, 0, "C:\\firmware\\DEMO.MOT",
     "DEMO.MOT", IDOK, 0, "Write Error !", 2, 3},
    {"the device's USB port: frames back to back to a silent device", 5, {"--silent"}, true, 0,
     "C:\\firmware\\DEMO.MOT", "DEMO.MOT", IDOK, 0, "Write End !", kAll, kAll},
    {"three ABORTs while frame 1 waits for its answer: no message; the next Write starts with the same file and "
     "file type, and runs to its end", 5, {"--no-answer", "1"}, false, 1, "C:\\firmware\\WORKED.MOT", "WORKED.MOT",
     IDOK, 3, nullptr, -1, 1},
};

TEST_F(Write, Outcomes)
{
    ASSERT_TRUE(CopyFirmware());
    ASSERT_TRUE(WaitForWineMaps());
    const Job worked = JobFor("worked-example.mot"), demo = JobFor("demo-firmware.mot");
    ASSERT_TRUE(!worked.totals.empty() && !demo.totals.empty());
    for (const WriteCase& row : kWriteCases) {
        SCOPED_TRACE(row.name);
        const Job& job = row.file[0] == 'D' ? demo : worked;
        ASSERT_TRUE(WriteBytes(kSettingsPath, Settings(kBaud9600, row.portCode)));
        std::string device = StartDevice(row.device);
        ASSERT_NE(device, "");
        ASSERT_TRUE(LineScrambled(true));
        ASSERT_TRUE(!row.deviceUsbPort || SetMapValue(kSerialMap, kDeviceUsbPort, true));
        App app = StartApp();
        ASSERT_TRUE(app.main);

        PostMessageA(app.main, WM_COMMAND, kWriteCommand, 0);
        HWND chooser = WaitDialog(app.pid, "Open");
        ASSERT_TRUE(chooser);
        if (row.fileType) Choose(chooser, kFileTypes, row.fileType);
        if (row.typed) TypeFileName(chooser, row.typed);
        else Click(chooser, IDCANCEL);
        if (row.confirm) {
            HWND sign = WaitDialog(app.pid, "Sign");
            ASSERT_TRUE(sign);
            Answer(sign, UINT(row.confirm));
        }
        HWND write = row.aborts ? WaitDialog(app.pid, "Write") : nullptr;
        for (int press = 0; press < row.aborts; ++press) Click(write, kAbort);
        if (row.message) {
            HWND message = WaitDialog(app.pid, "");
            ASSERT_TRUE(message);
            EXPECT_TRUE(Shows(message, row.message));
            long total = row.counted > 0 ? job.totals[std::min(size_t(row.counted), job.totals.size()) - 1] : 0;
            EXPECT_TRUE(row.counted < 0 || Text(GetDlgItem(GetWindow(message, GW_OWNER), kByteCount)) == Count(total));
            if (!row.confirm) Screenshot(message, "write_error");
            PressKey(message, VK_ESCAPE);
        }
        ASSERT_TRUE(WaitMainEnabled(app));
        EXPECT_FALSE(FindOf(app.pid, "#32770", nullptr)) << "a dialog is still shown";
        EXPECT_TRUE(row.sent != 0 || LineScrambled(false)) << "the program opened COM5";
        // Closed again whatever happened: Windows refuses to rename an open file.
        std::string file = std::string("C:\\firmware\\") + row.file, sent = SentBy(job, row.sent);
        EXPECT_TRUE(MoveFileA(file.c_str(), "C:\\firmware\\MOVED") && MoveFileA("C:\\firmware\\MOVED", file.c_str()));

        if (row.aborts) {
            PostMessageA(app.main, WM_COMMAND, kWriteCommand, 0);
            ASSERT_TRUE(chooser = WaitDialog(app.pid, "Open"));
            EXPECT_EQ(CharUpperA(&Text(GetDlgItem(chooser, kFileName))[0]), std::string("WORKED.MOT"));
            EXPECT_EQ(Selection(chooser, kFileTypes), row.fileType);
            Click(chooser, IDOK);
            HWND sign = WaitDialog(app.pid, "Sign"), end = nullptr;
            Click(sign, IDOK);
            ASSERT_TRUE(end = WaitDialog(app.pid, ""));
            EXPECT_TRUE(Shows(end, "Write End !"));
            Click(end, IDOK);
            ASSERT_TRUE(WaitMainEnabled(app));
            sent += job.raw;
        }
        std::string received = Received(device, sent);
        EXPECT_TRUE(received == sent) << received.size() << " bytes received, " << sent.size() << " sent";
        SetMapValue(kSerialMap, kDeviceUsbPort, false);
        StopApps();
    }
}

// -- the port settings dialog --------------------------------------------------

// "ENTRY,BAUD on": the entry selected ("": none), the checked baud button's
// text, and the baud buttons all enabled (on), disabled (off) or mixed.
std::string State(HWND dialog)
{
    int index = Selection(dialog, kPortList), enabled = 0;
    std::string state = (index < 0 ? "" : ComboItems(dialog, kPortList)[size_t(index)]) + ",";
    for (int button = kBaud19200; button <= kBaud38400; ++button) {
        enabled += IsWindowEnabled(GetDlgItem(dialog, button)) ? 1 : 0;
        if (Ask(GetDlgItem(dialog, button), BM_GETCHECK, 0, 0) == BST_CHECKED) state += Text(GetDlgItem(dialog, button));
    }
    return state + (enabled == 4 ? " on" : enabled ? " mixed" : " off");
}

void ChooseEntry(HWND dialog, const char* entry)
{
    std::vector<std::string> items = ComboItems(dialog, kPortList);
    auto found = std::find(items.begin(), items.end(), entry);
    ASSERT_NE(found, items.end());
    Choose(dialog, kPortList, int(found - items.begin()));
}

void ClickBaud(HWND dialog, int button)
{
    Click(dialog, button);
    EXPECT_TRUE(WaitFor([&] { return Ask(GetDlgItem(dialog, button), BM_GETCHECK, 0, 0) == BST_CHECKED; }));
}

struct PortCase {
    const char* name;
    bool win98;                        // the serial map's ports then LPT1..LPT3, whatever the parallel map holds
    int baud, code;                    // stored
    const char* opened;                // the State when the dialog opens
    int clickFirst;                    // baud button clicked before the choice; 0: none
    const char* choose;                // then chosen; nullptr: none
    const char* chosen;                // the State then
    int clickThen;                     // baud button clicked after the choice; 0: none
    UINT leave;                        // IDOK, IDCANCEL, or a key: VK_RETURN, VK_ESCAPE, VK_F4
    int savedBaud, savedCode;          // in the file after the Exit command and YES
};
const PortCase kPortCases[] = {
    {"Wine's ports; LPT1 preset, its baud buttons disabled; COM3 enables them; OK stores", false,
     kBaud38400, 0x8001, "LPT1,38400bps off", 0, "COM3", "COM3,38400bps on", kBaud19200, IDOK, kBaud19200, 3},
    {"Alt+F4 is CANCEL: the settings kept", false, kBaud38400, 0x8001, "LPT1,38400bps off", 0, "COM3",
     "COM3,38400bps on", kBaud4800, VK_F4, kBaud38400, 0x8001},
    {"an absent port: nothing selected, the buttons enabled though bit 15 is set; OK stores port 0", false,
     kBaud9600, 0x8005, ", 9600bps on", 0, nullptr, nullptr, 0, IDOK, kBaud9600, 0},
    {"COM10 preset; 19200, then LPT2 and Enter: the disabled but checked 19200 stored", false,
     kBaud4800, 0x000A, "COM10, 4800bps on", kBaud19200, "LPT2", "LPT2,19200bps off", 0, VK_RETURN, kBaud19200,
     0x8002},
    {"Windows 98: LPT3 though the parallel map has no LPT3", true, kBaud19200, 0x8003, "LPT3,19200bps off", 0,
     nullptr, nullptr, 0, IDCANCEL, kBaud19200, 0x8003},
};

// Wine answers the program's GetVersionExA as Windows 98 would.
bool SetWindows98(bool win98)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\quorvane.exe", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr))
        return false;
    LONG status = win98 ? RegSetValueExA(key, "Version", 0, REG_SZ, LPCBYTE("win98"), 6) : RegDeleteValueA(key, "Version");
    RegCloseKey(key);
    return status == ERROR_SUCCESS || !win98;
}

TEST_F(Port, Choices)
{
    ASSERT_TRUE(WaitForWineMaps());
    std::vector<std::string> offered[2];  // as Wine made the maps; on Windows 98
    for (const MapValue& value : ReadMap(kSerialMap)) offered[0].push_back(value.data);
    offered[1] = offered[0];
    for (const MapValue& value : ReadMap(kParallelMap)) offered[0].push_back(value.data.substr(12));  // after \DosDevices\ .
    offered[1].insert(offered[1].end(), {"LPT1", "LPT2", "LPT3"});
    auto byName = [](const std::string& a, const std::string& b) { return _stricmp(a.c_str(), b.c_str()) < 0; };
    for (std::vector<std::string>& list : offered) std::sort(list.begin(), list.end(), byName);

    for (const PortCase& row : kPortCases) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(SetWindows98(row.win98));
        ASSERT_TRUE(WriteBytes(kSettingsPath, Settings(row.baud, row.code)));
        App app = StartApp();
        ASSERT_TRUE(app.main);
        PressKey(app.main, 'P', true);
        HWND dialog = WaitDialog(app.pid, "Port");
        ASSERT_TRUE(dialog);
        EXPECT_EQ(GetWindow(dialog, GW_OWNER), app.main);
        EXPECT_EQ(ComboItems(dialog, kPortList), offered[row.win98]);
        EXPECT_EQ(State(dialog), row.opened);
        if (&row == kPortCases) Screenshot(dialog, "port_dialog");
        if (row.clickFirst) ClickBaud(dialog, row.clickFirst);
        if (row.choose) ChooseEntry(dialog, row.choose);
        EXPECT_EQ(row.chosen ? State(dialog) : "", row.chosen ? row.chosen : "");
        if (row.clickThen) ClickBaud(dialog, row.clickThen);
        Answer(dialog, row.leave);
        ASSERT_TRUE(WaitGone(dialog));
        EXPECT_EQ(SettingsNow(), Settings(row.baud, row.code)) << "the dialog wrote the file";
        LeaveSaving(app);
        EXPECT_EQ(SettingsNow(), Settings(row.savedBaud, row.savedCode));
        StopApps();
    }
    SetWindows98(false);
}

// A Write of the worked example to the device behind COM5 at 38400 baud,
// as the screens show it: the chooser's file types, the counter at 0 in the
// fixed font and then totals that never step back, and every byte sent as
// quorvane-cli frames --raw gives it.
TEST_F(Write, TheCounterCountsUpToTheTotal)
{
    ASSERT_TRUE(CopyFirmware());
    Job job = JobFor("worked-example.mot");
    ASSERT_FALSE(job.totals.empty());
    std::string device = StartDevice({"--delay", "1500"});  // late: the counter shows 0 a while
    ASSERT_NE(device, "");
    ASSERT_TRUE(WriteBytes(kSettingsPath, Settings(kBaud38400, 5)));
    App app = StartApp();
    ASSERT_TRUE(app.main);
    PostMessageA(app.main, WM_COMMAND, kWriteCommand, 0);
    HWND chooser = WaitDialog(app.pid, "Open");
    ASSERT_TRUE(chooser);
    EXPECT_EQ(ComboItems(chooser, kFileTypes),
              std::vector<std::string>({"S-Format File (*.MOT)", "Other File (*.*)"}));
    EXPECT_EQ(Selection(chooser, kFileTypes), 0);
    Ask(GetDlgItem(chooser, kFileName), WM_SETTEXT, 0, LPARAM("WORKED.MOT"));
    Screenshot(chooser, "write_chooser");
    TypeFileName(chooser, "WORKED.MOT");  // the chooser opens in the program's folder, C:\firmware
    HWND sign = WaitDialog(app.pid, "Sign");
    ASSERT_TRUE(sign);
    Screenshot(sign, "write_confirmation");
    Click(sign, IDOK);
    HWND write = WaitDialog(app.pid, "Write");
    ASSERT_TRUE(write);
    EXPECT_EQ(GetWindow(write, GW_OWNER), app.main);

    // The counter, read every 10 ms until "Write End !" comes over it.
    HWND counter = GetDlgItem(write, kByteCount), end = nullptr;
    std::vector<std::string> shown;
    bool fixedFont = false;
    for (DWORD start = GetTickCount(); !end && GetTickCount() - start < kWaitMs; Sleep(10)) {
        end = IsWindowEnabled(write) ? nullptr : WaitDialog(app.pid, "");
        std::string text = Text(counter);
        if (shown.empty() || text != shown.back()) shown.push_back(text);
        if (!fixedFont && text == Count(0) && (fixedFont = ShowsInFont(counter, text.c_str(), SYSTEM_FIXED_FONT)))
            Screenshot(write, "write_running");
    }
    ASSERT_TRUE(end);
    EXPECT_TRUE(fixedFont) << "the counter is not drawn in SYSTEM_FIXED_FONT";
    EXPECT_EQ(shown.front(), Count(0));
    EXPECT_EQ(shown.back(), Count(job.totals.back()));
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i], Count(std::atol(shown[i].c_str())));
        EXPECT_TRUE(i == 0 || std::atol(shown[i - 1].c_str()) <= std::atol(shown[i].c_str())) << shown[i];
    }
    EXPECT_TRUE(Shows(end, "Write End !"));
    Screenshot(end, "write_end");
    Click(end, IDOK);
    ASSERT_TRUE(WaitMainEnabled(app));
    std::string received = Received(device, job.raw);
    EXPECT_TRUE(received == job.raw) << received.size() << " bytes received, " << job.raw.size() << " sent";
}

}  // namespace
