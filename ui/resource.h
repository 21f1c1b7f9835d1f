// Resource and control identifiers: fixed plain numbers shared by the
// resource script and the code.
#pragma once

// Icons
#define IDI_APPLICATION_ICON 101  // window class icon; also in the write dialog
#define IDI_END_ICON 102          // end, exit and confirmation dialogs
#define IDI_ERROR_ICON 103        // error dialog

// Menu
#define IDR_MAIN_MENU 104

// Dialogs
#define IDD_WRITE 105
#define IDD_WRITE_END 106
#define IDD_WRITE_ERROR 107
#define IDD_PORT 108
#define IDD_EXIT 109
#define IDD_CONFIRM 110

// Controls
#define IDC_ABORT 3
#define IDC_PORT_LIST 201
#define IDC_BAUD_19200 202
#define IDC_BAUD_9600 203
#define IDC_BAUD_4800 204
#define IDC_BAUD_38400 205
#define IDC_BYTE_COUNT 206

// Menu commands
#define IDM_WRITE 301
#define IDM_PORT 302
#define IDM_EXIT 303
