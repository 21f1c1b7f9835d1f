// The process on Windows: binary standard streams, the console (redrawn
// lines and UTF-8), the console's stop events, and arguments as UTF-8.
#include <windows.h>

#include <shellapi.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "cmdline.h"

namespace {

void (*theStop)(int) = nullptr;

// The console's code page before this process changed it: a console keeps
// its settings after the process ends, for the next program.
UINT theOutputCodePage = 0;

// Standard error's console. Live lines are redrawn through the console's own
// calls, never escapes: a console may accept virtual-terminal processing and
// still show the escapes as text (Wine's does), and the calls work on every
// console.
HANDLE theRedrawConsole = nullptr;

void PutConsoleBack()
{
    if (theOutputCodePage) SetConsoleOutputCP(theOutputCodePage);
}

// How long the system waits for a handler after closing the console (5 s)
// or at log-off and shut-down, less a margin: time for the jobs to stop at
// their next step, put their ports back and be logged.
constexpr DWORD kTimeToPutPortsBackMs = 4500;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (!theStop) return FALSE;
    theStop(SIGINT);
    // The system ends the process as soon as this returns from these three;
    // main's end (ExitProcess) ends this thread sooner when the jobs are done.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(kTimeToPutPortsBackMs);
    return TRUE;
}

}  // namespace

void SetBinaryStdin() { _setmode(_fileno(stdin), _O_BINARY); }

void SetBinaryStdout() { _setmode(_fileno(stdout), _O_BINARY); }

bool StdinIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// The console's key events since the last look: Enter among them.
bool EnterWasPressed()
{
    HANDLE console = GetStdHandle(STD_INPUT_HANDLE);
    bool pressed = false;
    DWORD waiting = 0;
    while (GetNumberOfConsoleInputEvents(console, &waiting) && waiting > 0) {
        INPUT_RECORD event;
        DWORD read = 0;
        if (!ReadConsoleInputA(console, &event, 1, &read) || read == 0) break;
        pressed |= event.EventType == KEY_EVENT && event.Event.KeyEvent.bKeyDown &&
                   event.Event.KeyEvent.wVirtualKeyCode == VK_RETURN;
    }
    return pressed;
}

bool StderrIsTerminal()
{
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    CONSOLE_SCREEN_BUFFER_INFO screen;
    if (!GetConsoleMode(console, &mode) || !GetConsoleScreenBufferInfo(console, &screen)) return false;
    theRedrawConsole = console;
    return true;
}

void MoveUpLines(int lines)
{
    CONSOLE_SCREEN_BUFFER_INFO screen;
    std::fflush(stderr);  // what was written goes where the cursor was
    if (!theRedrawConsole || !GetConsoleScreenBufferInfo(theRedrawConsole, &screen)) return;
    COORD start = {0, SHORT(screen.dwCursorPosition.Y > lines ? screen.dwCursorPosition.Y - lines : 0)};
    SetConsoleCursorPosition(theRedrawConsole, start);
}

void ClearLine()
{
    CONSOLE_SCREEN_BUFFER_INFO screen;
    std::fflush(stderr);
    if (!theRedrawConsole || !GetConsoleScreenBufferInfo(theRedrawConsole, &screen)) return;
    COORD start = {0, screen.dwCursorPosition.Y};
    DWORD written = 0;
    FillConsoleOutputCharacterA(theRedrawConsole, ' ', DWORD(screen.dwSize.X), start, &written);
    FillConsoleOutputAttribute(theRedrawConsole, screen.wAttributes, DWORD(screen.dwSize.X), start, &written);
    SetConsoleCursorPosition(theRedrawConsole, start);
}

void CatchStopSignals(void (*stop)(int))
{
    theStop = stop;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    std::signal(SIGTERM, stop);
}

void StopIfOutputClosed()
{
    if (!theStop || !std::ferror(stdout)) return;
    // Whatever failed on a pipe, its reader is the likely cause and the
    // rest of the output would be lost the same way.
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)))) == FILE_TYPE_PIPE) theStop(SIGTERM);
}

char** TakeArgumentsInUtf8(int argc, char** argv)
{
    UINT codePage = GetConsoleOutputCP();  // 0: no console
    if (codePage && codePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        theOutputCodePage = codePage;
        std::atexit(PutConsoleBack);
    }
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide || count != argc) return argv;
    char** utf8 = static_cast<char**>(std::calloc(size_t(count) + 1, sizeof *utf8));
    for (int i = 0; utf8 && i < count; ++i) {
        int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        utf8[i] = size > 0 ? static_cast<char*>(std::malloc(size_t(size))) : nullptr;
        if (!utf8[i] || !WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8[i], size, nullptr, nullptr)) return argv;
    }
    LocalFree(wide);
    return utf8 ? utf8 : argv;
}
