#include "progress_window.h"

#include "res/resource.h"

INT_PTR CALLBACK ProgressDialogProcedure(HWND, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return TRUE;  // the system sets the default focus
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL))
        return TRUE;  // handled: neither ended nor destroyed
    return FALSE;
}

ProgressWindow CreateProgressWindow()
{
    return ProgressWindow{
        CreateDialogParamA(NULL, MAKEINTRESOURCEA(IDD_PROGRESS), NULL, ProgressDialogProcedure, 0)};
}

void ShowProgressWindow(const ProgressWindow& progress)
{
    ShowWindow(progress.window, SW_SHOW);
}

void SetWarningLine(const ProgressWindow& progress, const char* text)
{
    SetWindowTextA(GetDlgItem(progress.window, IDC_WARNING_LINE), text);
}

void SetImageLine(const ProgressWindow& progress, const char* text)
{
    SetWindowTextA(GetDlgItem(progress.window, IDC_IMAGE_LINE), text);
}

void DestroyProgressWindow(const ProgressWindow& progress)
{
    DestroyWindow(progress.window);
}
