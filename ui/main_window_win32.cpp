// Program entry and the main window: three menu commands, the settings
// loaded on start and saved on leaving if the user agrees.
#include "ui.h"

#include "resource.h"
#include "settings.h"

HINSTANCE theInstance;

namespace {

bool RegisterMainWindowClass()
{
    WNDCLASSA windowClass = {};
    windowClass.style = 0;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = theInstance;
    windowClass.hIcon = LoadIconA(theInstance, MAKEINTRESOURCEA(IDI_APPLICATION_ICON));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = HBRUSH(GetStockObject(WHITE_BRUSH));
    windowClass.lpszMenuName = MAKEINTRESOURCEA(IDR_MAIN_MENU);
    windowClass.lpszClassName = kMainWindowClass;
    return RegisterClassA(&windowClass) != 0;
}

// Captioned (as every overlapped window is), no sizing border, no maximize box.
HWND CreateMainWindow()
{
    return CreateWindowExA(0, kMainWindowClass, kMainWindowTitle, WS_SYSMENU | WS_MINIMIZEBOX, 20, 20, 480,
                           80, nullptr, nullptr, theInstance, nullptr);
}

// Only YES and NO end the program; YES saves the settings first.
void AskToLeave(HWND window)
{
    INT_PTR answer =
        DialogBoxParamA(theInstance, MAKEINTRESOURCEA(IDD_EXIT), window, MessageDialogProc, 0);
    if (answer == IDYES) {
        SaveSettings();
        DestroyWindow(window);
    } else if (answer == IDNO) {
        DestroyWindow(window);
    }
}

void RunMenuCommand(HWND window, WPARAM command)
{
    switch (command) {
    case IDM_WRITE:
        RunWriteDialog(window);
        break;
    case IDM_PORT:
        RunPortDialog(window);
        break;
    case IDM_EXIT:
        PostMessageA(window, WM_CLOSE, 0, 0);
        break;
    default:
        break;
    }
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        LoadSettings();
        return 0;
    case WM_COMMAND:
        RunMenuCommand(window, wParam);
        return 0;
    case WM_CLOSE:
        AskToLeave(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    theInstance = instance;
    if (!RegisterMainWindowClass()) return 0;
    HWND window = CreateMainWindow();
    if (!window) return 0;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    // GetMessageA gives -1 on failure; looping on it would spin for ever.
    MSG message = {};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return int(message.wParam);
}
