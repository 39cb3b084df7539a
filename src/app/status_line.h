#pragma once

#include <string>

#include "listener/ear.h"

namespace brelo {

// One line for `systemctl status`, e.g.
// "listening; 14 devices in the last window; last upload 204 1 s ago; 0 records waiting",
// with the reason in place of the code while uploads fail, and what is being done about a
// radio gone silent in brackets after the status. now: wall clock, like the summary.
std::string statusLine(const listener::EarSummary& summary, double now, const std::string& radioNote = "");

}  // namespace brelo
