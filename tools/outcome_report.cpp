#include "outcome_report.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace {

// Texts from the log as they can be shown anywhere: printable ASCII as it
// is, every other byte as \xNN.
std::string Shown(const std::string& text)
{
    std::string shown;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            shown += c;
        } else {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        }
    }
    return shown;
}

const char* const kImageNames[] = {"processor", "FPGA"};

std::string Run(const RunOutcome& outcome)
{
    return outcome.finished ? "finished" : "did not finish, while " + outcome.stoppedWhile;
}

}  // namespace

int OutcomeStatus(const RunOutcome& outcome)
{
    if (!outcome.isRunLog)
        return kNotARunLog;
    return outcome.Succeeded() ? kRunSucceeded : kRunFailed;
}

std::string OutcomeText(const RunOutcome& outcome)
{
    if (!outcome.isRunLog) {
        return "not a run log of hexalift: line " + std::to_string(outcome.badLineNumber) +
               " does not fit: \"" + Shown(outcome.badLine) + "\"\n";
    }
    std::string text;
    for (int i = 0; i < 2; ++i) {
        const ImageOutcome& image = outcome.images[i];
        text += std::string(kImageNames[i]) + " image: " + ImageStateName(image.state);
        if (image.fileVersionLogged)
            text += " (file \"" + Shown(image.fileVersion) + "\"";
        if (image.flashVersionLogged)
            text += ", flash \"" + Shown(image.flashVersion) + "\"";
        if (image.fileVersionLogged)
            text += ")";
        text += "\n";
    }
    if (!outcome.imageOrderCertain)
        text +=
            "note: an image whose size wraps to 0 leaves no line, so these may be the other image's lines\n";
    text += std::string("held in reset while images were written: ") + (outcome.heldInReset ? "yes" : "no") +
            "\n";
    text += std::string("returned to normal operation: ") + (outcome.returnedToNormal ? "yes" : "no") + "\n";
    text += "run: " + Run(outcome) + "\n";
    for (const std::string& line : outcome.failureLines)
        text += "failure logged: " + Shown(line) + "\n";
    text += std::string("outcome: ") + (outcome.Succeeded() ? "succeeded" : "failed") + "\n";
    return text;
}

std::string OutcomeJson(const RunOutcome& outcome)
{
    nlohmann::ordered_json json;
    json["run_log"] = outcome.isRunLog;
    if (!outcome.isRunLog) {
        json["line_number"] = outcome.badLineNumber;
        json["line"] = Shown(outcome.badLine);
    } else {
        json["installer_id"] = outcome.installerId;
        for (int i = 0; i < 2; ++i) {
            const ImageOutcome& image = outcome.images[i];
            nlohmann::ordered_json entry;
            entry["state"] = ImageStateName(image.state);
            if (image.fileVersionLogged)
                entry["file_version"] = Shown(image.fileVersion);
            if (image.flashVersionLogged)
                entry["flash_version"] = Shown(image.flashVersion);
            json[i == 0 ? "processor" : "fpga"] = entry;
        }
        json["image_order_certain"] = outcome.imageOrderCertain;
        json["held_in_reset"] = outcome.heldInReset;
        json["returned_to_normal_operation"] = outcome.returnedToNormal;
        json["run"] = Run(outcome);
        json["failures_logged"] = nlohmann::json::array();
        for (const std::string& line : outcome.failureLines)
            json["failures_logged"].push_back(Shown(line));
        json["succeeded"] = outcome.Succeeded();
    }
    json["status"] = OutcomeStatus(outcome);
    return json.dump(2) + "\n";
}
