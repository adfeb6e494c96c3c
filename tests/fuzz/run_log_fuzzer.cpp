// Fuzzes the run-log reader of the image tool: any bytes, read as a log,
// give a report in text and in JSON that says the same and never crash it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "outcome_report.h"
#include "run_outcome.h"

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "run_log_fuzzer: %s\n", what);
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const RunOutcome outcome = ReadRunOutcome(std::string(reinterpret_cast<const char*>(data), size));
    const int status = OutcomeStatus(outcome);
    const std::string text = OutcomeText(outcome);
    const nlohmann::json json = nlohmann::json::parse(OutcomeJson(outcome), nullptr, false);
    Require(!json.is_discarded(), "the JSON report parses");
    Require(json["status"] == status && json["run_log"] == outcome.isRunLog,
            "the JSON report says the status");
    Require(outcome.isRunLog ? status != kNotARunLog : status == kNotARunLog && outcome.badLineNumber >= 1,
            "a file that is not a run log is named so, with its line");
    Require(status != kRunSucceeded || (outcome.finished && outcome.failureLines.empty()),
            "success only for a finished run without a failure line");
    Require(outcome.finished == outcome.stoppedWhile.empty() || !outcome.isRunLog,
            "a run that did not finish names its step");
    Require(!text.empty(), "the text report says something");
    return 0;
}
