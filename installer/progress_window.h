// ProgressWindow: the small window that tells the operator not to switch the
// power off and names the image being written. Its message queue is never
// serviced; the texts are set by direct calls.
#pragma once

#include <windows.h>

struct ProgressWindow {
    HWND window;  // null when creation failed; every operation is then without effect
};

// From dialog template 101 among the program's own resources, hidden.
ProgressWindow CreateProgressWindow();
void ShowProgressWindow(const ProgressWindow& progress);
void SetWarningLine(const ProgressWindow& progress, const char* text);
void SetImageLine(const ProgressWindow& progress, const char* text);
void DestroyProgressWindow(const ProgressWindow& progress);

// The window's dialog procedure: TRUE for WM_INITDIALOG and for the IDOK and
// IDCANCEL commands (a close request is swallowed, so the window goes only
// when the run destroys it), FALSE for everything else. Changes nothing.
INT_PTR CALLBACK ProgressDialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
