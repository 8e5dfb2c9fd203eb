// The support report: one file a person reads, with machine-readable parts
// inside, for a user to send to support when an update went wrong. The
// window (Help > Save Support Report...) and qxtool report write the same
// one. Nothing in it leaves the machine by itself. Toolkit-free.
#pragma once

#include <string>

// The newest history records and the last trace lines a report holds.
#define QXREPORT_RECORDS 20u
#define QXREPORT_TRACE_LINES 2000u

namespace updatereport
{

// The report: the program and its version, the operating system, the
// connected devices with their identity and holder, the newest history
// records and the end of the last update's trace; a section of text, then
// each part as JSON between "-----BEGIN <PART>-----" and "-----END <PART>-----"
// lines.
std::string text(const std::string &program, const std::string &version);

// The report written whole to path (a new file beside it, renamed when
// whole); 0, or 1 with the problem.
int write(const std::string &path, const std::string &program, const std::string &version,
          std::string *problem);

} // namespace updatereport
