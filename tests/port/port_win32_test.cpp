// The Windows pieces that need no port: the DCB copy keeps what the line
// set-up does not name, and the worker's seam over a real handle and window.
#include <gtest/gtest.h>

#include <cstring>

#include "port.h"

namespace {

TEST(SerialLineDcb, ListedFieldsChangeAndTheOthersStayAsRead)
{
    DCB dcb;
    memset(&dcb, 0xFF, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    DCB before = dcb;
    SetUpSerialLine(dcb, kBaud38400);

    EXPECT_EQ(38400u, dcb.BaudRate);
    EXPECT_EQ(1u, dcb.fBinary);
    EXPECT_EQ(0u, dcb.fParity);
    EXPECT_EQ(0u, dcb.fOutxCtsFlow);
    EXPECT_EQ(0u, dcb.fOutxDsrFlow);
    EXPECT_EQ(unsigned(DTR_CONTROL_ENABLE), dcb.fDtrControl);
    EXPECT_EQ(0u, dcb.fDsrSensitivity);
    EXPECT_EQ(1u, dcb.fTXContinueOnXoff);
    EXPECT_EQ(0u, dcb.fOutX);
    EXPECT_EQ(0u, dcb.fInX);
    EXPECT_EQ(0u, dcb.fErrorChar);
    EXPECT_EQ(0u, dcb.fNull);
    EXPECT_EQ(unsigned(RTS_CONTROL_ENABLE), dcb.fRtsControl);
    EXPECT_EQ(0u, dcb.fAbortOnError);
    EXPECT_EQ(0, dcb.XonLim);
    EXPECT_EQ(0, dcb.XoffLim);
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
    EXPECT_EQ(0, dcb.XonChar);
    EXPECT_EQ(0, dcb.XoffChar);
    EXPECT_EQ(0, dcb.ErrorChar);
    EXPECT_EQ(0, dcb.EofChar);
    EXPECT_EQ(0, dcb.EvtChar);

    EXPECT_EQ(before.DCBlength, dcb.DCBlength);
    EXPECT_EQ(before.fDummy2, dcb.fDummy2);
    EXPECT_EQ(before.wReserved, dcb.wReserved);
    EXPECT_EQ(before.wReserved1, dcb.wReserved1);
}

struct Pipe {
    HANDLE readEnd;
    HANDLE writeEnd;
};

Pipe MakePipe()
{
    Pipe pipe = {nullptr, nullptr};
    EXPECT_TRUE(CreatePipe(&pipe.readEnd, &pipe.writeEnd, nullptr, 0));
    return pipe;
}

TEST(Win32Seam, WritesAndReadsOneByteAtATime)
{
    Pipe pipe = MakePipe();
    TransferSeam toPipe = {};
    FillWin32Seam(toPipe, pipe.writeEnd, nullptr);
    const uint8_t bytes[] = {0x02, 0x00, 0x06};
    EXPECT_EQ(3, toPipe.write(toPipe.port, bytes, sizeof bytes));

    TransferSeam fromPipe = {};
    FillWin32Seam(fromPipe, pipe.readEnd, nullptr);
    for (uint8_t expected : bytes) {
        uint8_t byte = 0xEE;
        EXPECT_EQ(ReadResult::Byte, fromPipe.readByte(fromPipe.port, &byte));
        EXPECT_EQ(expected, byte);
    }
    // A read that fails (the other end closed) is no byte, never a lost
    // port: the worker just reads again until an answer or ABORT.
    CloseHandle(pipe.writeEnd);
    uint8_t byte = 0;
    EXPECT_EQ(ReadResult::Nothing, fromPipe.readByte(fromPipe.port, &byte));
    CloseHandle(pipe.readEnd);
}

TEST(Win32Seam, AFailedWriteCountsAsNothingWritten)
{
    Pipe pipe = MakePipe();
    CloseHandle(pipe.readEnd);
    TransferSeam seam = {};
    FillWin32Seam(seam, pipe.writeEnd, nullptr);
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(0, seam.write(seam.port, bytes, sizeof bytes));
    CloseHandle(pipe.writeEnd);
}

struct Received {
    unsigned message;
    WPARAM wParam;
    LPARAM lParam;
};
Received lastReceived;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= WM_USER) {
        lastReceived = {message, wParam, lParam};
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST(Win32Seam, NotifiesTheDialogWithTheTotalInLParam)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "QuorvaneSeamTest";
    ASSERT_NE(0, RegisterClassA(&windowClass));
    HWND window = CreateWindowA("QuorvaneSeamTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
    ASSERT_NE(nullptr, window);

    TransferSeam seam = {};
    FillWin32Seam(seam, INVALID_HANDLE_VALUE, window);
    seam.notify(seam.dialog, WM_WRITE_PROGRESS, 123456);
    EXPECT_EQ(WM_WRITE_PROGRESS, lastReceived.message);
    EXPECT_EQ(0u, lastReceived.wParam);
    EXPECT_EQ(123456, lastReceived.lParam);
    seam.notify(seam.dialog, WM_WRITE_END, 0);
    EXPECT_EQ(WM_WRITE_END, lastReceived.message);
    EXPECT_EQ(0, lastReceived.lParam);

    unsigned long long before = seam.nowMs(seam.port);
    seam.pause(seam.port);
    EXPECT_GE(seam.nowMs(seam.port) - before, 90u);  // the pause after a short write
    DestroyWindow(window);
}

}  // namespace
