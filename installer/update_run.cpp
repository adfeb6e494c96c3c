#include "update_run.h"

#include <cstdio>
#include <new>

#include "board_library.h"
#include "board_steps.h"
#include "flash_library.h"
#include "image_file.h"
#include "progress_window.h"
#include "run_log.h"
#include "settings.h"
#include "system_shutdown.h"

namespace {

const char kInstallDirectory[] =
    "C:\\Program Files\\Veltrane Corporation\\Signal Analyzer\\System\\Hardware Objects\\Optical\\";
const char kSettingsPath[] = "c:\\zef_installer.ini";
const char kRunLogPath[] = "c:\\zef_installer.log";
const char kFlashLibraryName[] = "Flash.dll";

constexpr int kProcessorTarget = 1;
constexpr int kFpgaTarget = 2;

// The three text buffers the run owns.
constexpr size_t kTextSize = 256;

void ComposeImagePath(char (&path)[kTextSize], const char* fileName)
{
    snprintf(path, sizeof path, "%s%s", kInstallDirectory, fileName);
}

// Opens the run log when the settings file exists and sets InstallerId.
void StartRunLog(const char* processorImagePath, const char* fpgaImagePath)
{
    const Settings settings = ReadSettings(kSettingsPath);
    if (!settings.present)
        return;  // no log, InstallerId stays 0
    RunLog = fopen(kRunLogPath, "w");
    InstallerId = settings.installerId;
    LogPrintf("(Id:%d)\npObjFname = %s\n", InstallerId, processorImagePath);
    LogPrintf("pFpgaFname = %s\n", fpgaImagePath);
}

// Loads and initialises "Flash.dll"; true when images may be handled. That
// takes a binding that forwards: a library initialised to a value other
// than 1 counts as initialised, yet every read through it would leave the
// version text empty and every write would report success without reaching
// flash, so the run treats it like one that did not initialise.
bool StartFlashLibrary(FlashLibrary* flash)
{
    if (flash == nullptr)
        return false;
    int status = flash->Load(kFlashLibraryName);
    if (status == 1)
        status = flash->Initialize();
    return status == 1 && BindingForwards(flash->binding);
}

// Checks one image against its flash target and writes it when it differs,
// naming it in the progress window meanwhile.
void UpdateImage(const char* path, FlashLibrary& flash, int target, uint32_t& imageSize,
                 const ProgressWindow& progress, char (&imageLine)[kTextSize])
{
    if (GetFileInf(path, flash, target, imageSize) != 1)
        return;  // current, unreadable or not comparable: leave it alone
    snprintf(imageLine, sizeof imageLine, "The program\n %s\n is written in hardware.", path);
    SetImageLine(progress, imageLine);
    ReadFileWithCheckSum(path, flash, target, imageSize);
}

ProgressWindow OpenProgressWindow()
{
    const ProgressWindow progress = CreateProgressWindow();
    if (progress.window == nullptr)
        LogPrintf("CreateDialog Error\n");
    ShowProgressWindow(progress);
    SetWarningLine(progress, "Do not turn off power.");
    return progress;
}

void ReleaseBoardLibrary(BoardLibrary* board, int boardHandle)
{
    if (board == nullptr)
        return;
    ReleaseBoard(*board, boardHandle);
    delete board;
}

void ReleaseFlashLibrary(FlashLibrary* flash)
{
    if (flash == nullptr)
        return;
    flash->Terminate();
    flash->Unload();
    delete flash;
}

}  // namespace

int UpdateRun()
{
    char processorImagePath[kTextSize];
    char fpgaImagePath[kTextSize];
    char imageLine[kTextSize];
    ComposeImagePath(processorImagePath, "qd5180b.nios");
    ComposeImagePath(fpgaImagePath, "qd5180a.fpga");

    StartRunLog(processorImagePath, fpgaImagePath);

    // The flash library comes first, before the module is reset: it initialises
    // against a module that still runs, and it is released last.
    FlashLibrary* flash = new (std::nothrow) FlashLibrary;
    const bool flashReady = StartFlashLibrary(flash);

    BoardLibrary* board = new (std::nothrow) BoardLibrary;
    const int boardHandle = board != nullptr ? OpenBoard(*board) : 0;
    HoldModuleInReset(board, boardHandle);

    // The window lives strictly inside the reset hold: the operator is warned
    // for as long as the module is held and every flash access happens.
    const ProgressWindow progress = OpenProgressWindow();
    if (flashReady) {
        uint32_t imageSize = 0;
        UpdateImage(processorImagePath, *flash, kProcessorTarget, imageSize, progress, imageLine);
        UpdateImage(fpgaImagePath, *flash, kFpgaTarget, imageSize, progress, imageLine);
    }
    DestroyProgressWindow(progress);

    // The board goes before the flash library (reverse order of binding): the
    // module runs normally again before the flash library lets go of it.
    ReturnModuleToNormal(board, boardHandle);
    ReleaseBoardLibrary(board, boardHandle);
    ReleaseFlashLibrary(flash);

    if (RunLog != nullptr) {
        fclose(RunLog);
        RunLog = nullptr;
    }

    // The log is closed before the shutdown: a forced shutdown ends the process
    // without flushing it, and the shutdown itself is never logged.
    if (RequestsShutdown(InstallerId))
        RequestSystemShutdown();
    return 0;
}
