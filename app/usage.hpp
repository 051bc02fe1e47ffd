#pragma once

#include <string>

namespace punchprobe {

// What the first argument asks of the program. Host names never begin with
// "-", so these exact words cannot shadow a server; anything else, "--HELP"
// or "-help" included, is a host as it always was. `json` is a run whose
// result is one JSON object.
enum class EntryRequest { run, json, help, version };

// Looks at the first argument only: `punchprobe --help x y` is help, and
// `punchprobe HOST --help` still runs against HOST.
EntryRequest entry_request(int argc, const char* const argv[]);

// The one-line usage that a missing host prints on standard error.
std::string usage_line();

// The text of --help and -h: usage, what the run does, the three verdicts
// and the exit status. Ends with a line break.
std::string help_text();

// "punchprobe " and the project version, with a line break.
std::string version_text();

}  // namespace punchprobe
