// Runs one whole write job the way the write dialog does: the port opened
// by OpenDevicePort, the worker on a thread of its own over the Win32 seam,
// its notifications handled by a window on this thread.
//   write_job_test CODE SELECTOR FILE [ABORT_AFTER_MS]
// CODE is hex. With ABORT_AFTER_MS, another thread clears `running` after
// that long, as the ABORT button does. Prints one line:
//   outcome=end progress=2 total=16 reads=2 abort_ms=-1
// reads: the worker's one-byte reads of the port; abort_ms: from clearing
// `running` to the outcome. Exit status 0 when the job ran, 1 otherwise.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "port.h"

namespace {

// Written on this (the window's) thread only, read after the loop ends.
struct Notes {
    unsigned outcome;
    unsigned long progress;
    long long lastTotal;
    unsigned long long outcomeTick;
};
Notes notes;

WriteJob job;

// Set on the aborting thread before it clears `running`.
std::atomic<unsigned long long> abortTick{0};

// The worker's reads, counted on the worker's thread.
std::atomic<unsigned long> reads{0};
ReadResult (*portReadByte)(void* port, uint8_t* byte);

ReadResult CountedReadByte(void* port, uint8_t* byte)
{
    ++reads;
    return portReadByte(port, byte);
}

LRESULT CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_WRITE_PROGRESS:
        ++notes.progress;
        notes.lastTotal = lParam;
        return 0;
    case WM_WRITE_END:
    case WM_WRITE_ERROR:
    case WM_WRITE_ABORTED:
        notes.outcome = message;
        notes.outcomeTick = GetTickCount64();
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateDialogStandIn()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DialogProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "QuorvaneWriteJobTest";
    RegisterClassA(&windowClass);
    return CreateWindowA("QuorvaneWriteJobTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         windowClass.hInstance, nullptr);
}

const char* OutcomeText(unsigned message)
{
    switch (message) {
    case WM_WRITE_END: return "end";
    case WM_WRITE_ERROR: return "error";
    case WM_WRITE_ABORTED: return "aborted";
    }
    return "none";
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: write_job_test CODE SELECTOR FILE [ABORT_AFTER_MS]\n");
        return 1;
    }
    PortCode code = PortCode(strtoul(argv[1], nullptr, 16));
    BaudSelector selector = BaudSelector(strtol(argv[2], nullptr, 10));
    long abortAfterMs = argc > 4 ? strtol(argv[4], nullptr, 10) : -1;

    FILE* source = fopen(argv[3], "rb");
    if (!source) {
        printf("cannot open %s\n", argv[3]);
        return 1;
    }
    OpenedPort port = OpenDevicePort(code, selector);
    if (port.handle == INVALID_HANDLE_VALUE) {
        printf("opened=0\n");
        fclose(source);
        return 1;
    }
    HWND dialog = CreateDialogStandIn();

    PrepareWriteJob(job);
    job.source = source;
    job.ackMode = port.ackMode;
    job.answerTimeoutMs = 0;  // as the Windows program: wait until ABORT
    FillWin32Seam(job.seam, port.handle, dialog);
    portReadByte = job.seam.readByte;
    job.seam.readByte = CountedReadByte;

    std::thread worker([] { RunWriteJob(job); });
    std::thread aborter;
    if (abortAfterMs >= 0) {
        aborter = std::thread([abortAfterMs] {
            Sleep(DWORD(abortAfterMs));
            abortTick = GetTickCount64();
            job.running = 0;
        });
    }
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    worker.join();
    if (aborter.joinable()) aborter.join();

    // The front end releases the port and the file after the outcome.
    CloseHandle(port.handle);
    fclose(source);
    DestroyWindow(dialog);

    long long abortMs = abortTick ? (long long)(notes.outcomeTick - abortTick) : -1;
    printf("outcome=%s progress=%lu total=%lld reads=%lu abort_ms=%lld\n", OutcomeText(notes.outcome),
           notes.progress, notes.lastTotal, reads.load(), abortMs);
    fflush(stdout);
    return 0;
}
