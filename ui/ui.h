// The Windows program's user interface: the main window, its dialogs and
// the dialog procedure that all message-like dialogs share.
#pragma once

#include <windows.h>

#include "transfer.h"

// The program's instance, needed by every dialog call. Set once by WinMain.
extern HINSTANCE theInstance;

constexpr const char* kMainWindowClass = "PELMARIX";
constexpr const char* kMainWindowTitle = "Quorvane  Ver2.2.0.1";

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Ends the dialog with the identifier of the button pressed (IDOK..IDNO).
INT_PTR CALLBACK MessageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The Write command: choose a file, confirm, send it with a live byte count.
void RunWriteDialog(HWND owner);

// The worker's notifications as the write dialog receives them, sent with
// SendMessageA (WM_USER + 10 ... + 13).
constexpr UINT WM_WRITE_END = 0x040A;
constexpr UINT WM_WRITE_ERROR = 0x040B;
constexpr UINT WM_WRITE_PROGRESS = 0x040C;  // lParam: data bytes sent so far
constexpr UINT WM_WRITE_ABORTED = 0x040D;

// The one write job of the program: the write dialog fills it and starts
// the worker; the dialog's thread writes `running` (ABORT) while it runs.
extern WriteJob theWriteJob;

// Thread procedure of the write dialog's worker: runs theWriteJob.
void TransferWorker();

// Dialog 105: runs one write job from the file chooser to its outcome.
INT_PTR CALLBACK WriteDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The Port command: choose the port and baud rate of the next write.
void RunPortDialog(HWND owner);

// The port settings dialog (108): the ports found, the current choice preset;
// OK takes over the port code and baud selector, CANCEL keeps them.
INT_PTR CALLBACK PortDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
