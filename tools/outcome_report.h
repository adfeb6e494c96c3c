// How the image tool tells a run's outcome: plain text for a person, JSON
// for scripts, and the exit status.
#pragma once

#include <string>

#include "run_outcome.h"

constexpr int kRunSucceeded = 0;
constexpr int kRunFailed = 1;
constexpr int kNotARunLog = 2;

// 0 when the run succeeded, 1 when something failed or it did not finish,
// 2 when the file is not a run log of hexalift.
int OutcomeStatus(const RunOutcome& outcome);

// The outcome in lines of "what: how"; for a file that is not a run log,
// the line that does not fit.
std::string OutcomeText(const RunOutcome& outcome);

// The same as one JSON object, with the status.
std::string OutcomeJson(const RunOutcome& outcome);
