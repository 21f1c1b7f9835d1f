// Runs a program in a console of its own, as a user at a console runs it,
// and writes what the console's screen then shows, one row a line, so a
// test reads the screen and not the bytes: escapes a console took as
// commands leave no trace there, escapes it did not take stay visible.
// Wine makes the console when the first program starts on a terminal, so a
// test runs this under script(1).
//   console_run.exe SCREEN_FILE WHEN_TO_STOP PROGRAM [ARGS...]
// WHEN_TO_STOP is "-" or a text: once the screen shows it, the console gets
// Ctrl-C, as from the keyboard. Exits with the program's exit status.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring QuoteForCommandLine(const wchar_t* word)
{
    std::wstring quoted = L"\"";
    for (const wchar_t* at = word; *at; ++at) {
        if (*at == L'"') quoted += L'\\';
        quoted += *at;
    }
    return quoted + L"\"";
}

HANDLE OpenConsoleHandle(const wchar_t* name)
{
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0,
                       nullptr);
}

std::wstring ScreenRow(HANDLE screen, SHORT row, SHORT width)
{
    std::wstring text(size_t(width), L' ');
    DWORD read = 0;
    ReadConsoleOutputCharacterW(screen, &text[0], DWORD(width), COORD{0, row}, &read);
    text.resize(read);
    while (!text.empty() && text.back() == L' ') text.pop_back();
    return text;
}

std::wstring Screen(HANDLE screen)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(screen, &info)) return L"";
    std::wstring rows;
    for (SHORT row = 0; row <= info.dwCursorPosition.Y; ++row) rows += ScreenRow(screen, row, info.dwSize.X) + L"\n";
    return rows;
}

bool WriteUtf8(const wchar_t* path, const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size_t(size > 0 ? size : 0), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), &bytes[0], size, nullptr, nullptr);
    FILE* file = _wfopen(path, L"wb");
    if (!file) return false;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

// Waits for the program to end; gives the console Ctrl-C once the screen
// shows `stopAt` (nullptr: never). Every process on the console gets it;
// this tool's own handler lets it pass. (Wine delivers no Ctrl-Break made
// this way, so Ctrl-C it is.)
DWORD WaitForProgram(const PROCESS_INFORMATION& program, HANDLE screen, const wchar_t* stopAt)
{
    while (WaitForSingleObject(program.hProcess, 20) == WAIT_TIMEOUT) {
        if (stopAt && Screen(screen).find(stopAt) != std::wstring::npos) {
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            stopAt = nullptr;
        }
    }
    DWORD status = 1;
    GetExitCodeProcess(program.hProcess, &status);
    return status;
}

BOOL WINAPI IgnoreConsoleEvent(DWORD) { return TRUE; }

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::fputs("usage: console_run.exe SCREEN_FILE WHEN_TO_STOP|- PROGRAM [ARGS...]\n", stderr);
        return 125;
    }
    SetConsoleCtrlHandler(IgnoreConsoleEvent, TRUE);
    HANDLE screen = OpenConsoleHandle(L"CONOUT$");
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(screen, &info)) {
        std::fprintf(stderr, "console_run: no console (error %lu)\n", GetLastError());
        return 125;
    }
    HANDLE keyboard = OpenConsoleHandle(L"CONIN$");
    std::wstring commandLine;
    for (int i = 3; i < argc; ++i) commandLine += (i > 3 ? L" " : L"") + QuoteForCommandLine(argv[i]);
    STARTUPINFOW start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = keyboard;
    start.hStdOutput = start.hStdError = screen;
    PROCESS_INFORMATION program = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &program)) {
        std::fprintf(stderr, "console_run: cannot start the program (error %lu)\n", GetLastError());
        return 125;
    }
    DWORD status = WaitForProgram(program, screen, std::wcscmp(argv[2], L"-") ? argv[2] : nullptr);
    if (!WriteUtf8(argv[1], Screen(screen))) {
        std::fputs("console_run: cannot write the screen's file\n", stderr);
        return 125;
    }
    return int(status);
}
