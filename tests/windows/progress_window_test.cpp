// The progress window under a real window system (Wine with a display): its
// dialog procedure's answers, and a window that only the run can close.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "progress_window.h"
#include "res/resource.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char* what)
{
    ++(ok ? g_passed : g_failed);
    if (!ok)
        printf("FAILED: %s\n", what);
}

void CheckProcedureAnswers()
{
    struct Case {
        UINT message;
        WPARAM wParam;
        INT_PTR answer;
        const char* what;
    };
    const Case cases[] = {
        {WM_INITDIALOG, 0, TRUE, "WM_INITDIALOG is handled, so the system sets the focus"},
        {WM_COMMAND, IDOK, TRUE, "IDOK is swallowed"},
        {WM_COMMAND, IDCANCEL, TRUE, "IDCANCEL (a close request) is swallowed"},
        {WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), TRUE, "only the low word counts"},
        {WM_COMMAND, MAKEWPARAM(IDOK, 1), TRUE, "IDOK from an accelerator"},
        {WM_COMMAND, IDABORT, FALSE, "other commands go to the default handling"},
        {WM_COMMAND, IDC_IMAGE_LINE, FALSE, "a control's command goes to the default handling"},
        {WM_CLOSE, 0, FALSE, "WM_CLOSE itself goes to the default handling"},
        {WM_PAINT, 0, FALSE, "WM_PAINT goes to the default handling"},
        {WM_DESTROY, 0, FALSE, "WM_DESTROY goes to the default handling"},
    };
    for (const Case& c : cases)
        Check(ProgressDialogProcedure(nullptr, c.message, c.wParam, 0) == c.answer, c.what);
}

// An ANSI dialog carries its template texts in the system's ANSI code page:
// the Japanese placeholder reads back as that code page renders it.
const wchar_t* PlaceholderAsShown()
{
    static wchar_t shown[32];
    char ansi[64];
    WideCharToMultiByte(CP_ACP, 0, L"スタティック", -1, ansi, sizeof ansi, NULL, NULL);
    MultiByteToWideChar(CP_ACP, 0, ansi, -1, shown, 32);
    return shown;
}

bool TextIs(HWND window, int item, const wchar_t* expected)
{
    wchar_t text[128] = L"";
    GetDlgItemTextW(window, item, text, 128);
    return wcscmp(text, expected) == 0;
}

void CheckWindow()
{
    const ProgressWindow progress = CreateProgressWindow();
    Check(progress.window != nullptr, "the window is created from template 101");
    if (progress.window == nullptr)
        return;
    Check(!IsWindowVisible(progress.window), "created hidden");
    wchar_t caption[64] = L"";
    GetWindowTextW(progress.window, caption, 64);
    Check(wcscmp(caption, L"Hardware Object") == 0, "caption");
    Check(TextIs(progress.window, IDC_IMAGE_LINE, PlaceholderAsShown()), "image line placeholder");
    Check(TextIs(progress.window, IDC_WARNING_LINE, PlaceholderAsShown()), "warning line placeholder");

    ShowProgressWindow(progress);
    Check(IsWindowVisible(progress.window) != FALSE, "shown");
    SetWarningLine(progress, "Do not turn off power.");
    Check(TextIs(progress.window, IDC_WARNING_LINE, L"Do not turn off power."), "warning line set");
    SetImageLine(progress, "The program\n C:\\x.nios\n is written in hardware.");
    Check(TextIs(progress.window, IDC_IMAGE_LINE, L"The program\n C:\\x.nios\n is written in hardware."),
          "image line set");

    // Whatever the operator does, the window stays until the run destroys it.
    SendMessageA(progress.window, WM_COMMAND, IDOK, 0);
    Check(IsWindow(progress.window) != FALSE, "IDOK leaves the window open");
    SendMessageA(progress.window, WM_COMMAND, IDCANCEL, 0);
    Check(IsWindow(progress.window) != FALSE, "IDCANCEL leaves the window open");
    SendMessageA(progress.window, WM_CLOSE, 0, 0);
    Check(IsWindow(progress.window) != FALSE, "a close request leaves the window open");
    SendMessageA(progress.window, WM_SYSCOMMAND, SC_CLOSE, 0);
    Check(IsWindow(progress.window) != FALSE, "Close from the system menu leaves the window open");

    DestroyProgressWindow(progress);
    Check(IsWindow(progress.window) == FALSE, "destroyed by the run");
}

}  // namespace

int main()
{
    CheckProcedureAnswers();
    CheckWindow();
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
