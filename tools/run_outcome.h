// Reads a run log of hexalift ("c:\zef_installer.log") back into how the
// run went: what became of each image, whether the module was held in reset
// and returned to normal operation, and whether the run finished or where
// its log ends. Any bytes may come in; what is not a run log of hexalift is
// said to be so, with the line that does not fit.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class ImageState {
    NotChecked,          // no line for it: no flash library, or a size that wraps to 0
    Current,             // "(Same Version)"
    Written,             // "(Update)" and no failure after it
    NotWrittenChecksum,  // "ReadFileWithCheckSum:CheckSum Error"
    NotWrittenMemory,    // "Insufficient memory available"
    NotWrittenFile,      // "GetFileInf:... File Open Error"
    FlashReadFailed,     // "FL_Read() FALSE"
    FlashWriteFailed,    // "FL_Write() FALSE"
    BeingChecked,        // the log ends while its version is checked
    BeingWritten,        // the log ends after "(Update)": the write may not have finished
};

struct ImageOutcome {
    ImageState state = ImageState::NotChecked;
    bool fileVersionLogged = false;
    bool flashVersionLogged = false;
    std::string fileVersion;   // InstallVerStr, as logged
    std::string flashVersion;  // CurrentVerStr, as logged
};

struct RunOutcome {
    bool isRunLog = false;
    // When it is not: the first line that does not fit, counted from 1.
    size_t badLineNumber = 0;
    std::string badLine;

    int installerId = 0;
    ImageOutcome images[2];  // processor, FPGA
    // False when one image has no line and the other's lines name no file:
    // either image's size may have wrapped to 0, so the lines may be either's.
    bool imageOrderCertain = true;
    bool heldInReset = false;               // the reset write succeeded
    bool returnedToNormal = false;          // the normal-operation write succeeded
    bool finished = false;                  // the normal-operation line or "IB_Close() FALSE" is there
    std::string stoppedWhile;               // for a run that did not finish: the step its log ends in
    std::vector<std::string> failureLines;  // every line that reports a failure, in order

    // Each image current or written, held in reset and returned to normal
    // operation, finished, and no failure line at all.
    bool Succeeded() const;
};

// logBytes: the whole file. Line ends may be CR LF (as hexalift writes them)
// or LF alone.
RunOutcome ReadRunOutcome(const std::string& logBytes);

const char* ImageStateName(ImageState state);
