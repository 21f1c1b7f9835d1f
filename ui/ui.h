// The Windows program's user interface: the main window, its dialogs and
// the dialog procedure that all message-like dialogs share.
#pragma once

#include <windows.h>

// The program's instance, needed by every dialog call. Set once by WinMain.
extern HINSTANCE theInstance;

constexpr const char* kMainWindowClass = "PELMARIX";
constexpr const char* kMainWindowTitle = "Quorvane  Ver2.2.0.1";

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Ends the dialog with the identifier of the button pressed (IDOK..IDNO).
INT_PTR CALLBACK MessageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The Write command: choose a file, confirm, send it with a live byte count.
void RunWriteDialog(HWND owner);

// Dialog 105: runs one write job from the file chooser to its outcome.
INT_PTR CALLBACK WriteDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The Port command: choose the port and baud rate of the next write.
void RunPortDialog(HWND owner);

// The port settings dialog (108): the ports found, the current choice preset;
// OK takes over the port code and baud selector, CANCEL keeps them.
INT_PTR CALLBACK PortDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
