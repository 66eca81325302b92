// The service provider's own log: what it refuses and why, for the person running it. Every
// line goes to standard error and, when the provider has a directory, to its sp.log there.
#pragma once

#include <string>

namespace korvo::sp {

// Writes "Wcdmi: MESSAGE" to standard error and a time-stamped line to `root`/sp.log (when
// `root` is not empty). Thread-safe; a log file that cannot be written is skipped.
void LogLine(const std::string& root, const std::string& message);

// A line for sp.log alone: what went well, which nobody needs to be told about on the spot.
void LogNote(const std::string& root, const std::string& message);

// The current time in the DMI date format "yyyymmddHHMMSS.uuuuuu+ooo" (offset in minutes).
std::string DmiDateNow();

}  // namespace korvo::sp
