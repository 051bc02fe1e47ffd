#pragma once

#include <string>
#include <vector>

namespace punchprobe {

// What the first argument asks of the program. Host names never begin with
// "-", so these exact words cannot shadow a server; anything else, "--HELP"
// or "-help" included, is a host as it always was.
enum class EntryRequest { run, help, version };

// Looks at the first argument only: `punchprobe --help x y` is help, and
// `punchprobe HOST --help` still runs against HOST.
EntryRequest entry_request(int argc, const char* const argv[]);

// A run's command line: the options that lead it, --json (the result as one
// JSON object) and --port-mapping (ask the gateway too), each at most once
// and in either order; the host and port follow. After the options the
// arguments mean what they mean without them: a repeated or later option is
// an operand, as it always was.
struct RunOptions {
    bool json = false;
    bool port_mapping = false;
    std::vector<std::string> operands;
};
RunOptions run_options(int argc, const char* const argv[]);

// The one-line usage that a missing host prints on standard error.
std::string usage_line();

// The text of --help and -h: usage, what the run does, the three verdicts
// and the exit status. Ends with a line break.
std::string help_text();

// "punchprobe " and the project version, with a line break.
std::string version_text();

}  // namespace punchprobe
