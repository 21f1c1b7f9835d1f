#include <csignal>
#include <cstdio>
#include <initializer_list>
#include <poll.h>
#include <unistd.h>

#include "cmdline.h"

void SetBinaryStdin() {}

void SetBinaryStdout() {}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

// The terminal hands over a line as Enter ends it.
bool EnterWasPressed()
{
    bool pressed = false;
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    char typed[64];
    while (poll(&input, 1, 0) == 1 && (input.revents & POLLIN)) {
        ssize_t got = read(STDIN_FILENO, typed, sizeof typed);
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; ++i) pressed |= typed[i] == '\n';
    }
    return pressed;
}

void MoveUpLines(int lines) { std::fprintf(stderr, "\x1b[%dA", lines); }

void ClearLine() { std::fputs("\r\x1b[K", stderr); }

void CatchStopSignals(void (*stop)(int))
{
    struct sigaction action = {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaction(signal, &action, nullptr);
}

// SIGPIPE does it here.
void StopIfOutputClosed() {}

// Names are bytes here, shown as they are.
char** TakeArgumentsInUtf8(int, char** argv) { return argv; }
