#pragma once

#include <string>

namespace punchprobe {

// Parses the server port argument the way std::stoi does (leading blanks, an
// optional sign, decimal digits up to the first non-digit, no range check
// against port numbers), but with the program's own error texts:
// std::invalid_argument "invalid stoi argument" and std::out_of_range
// "stoi argument out of range".
int parse_port_argument(const std::string& text);

}  // namespace punchprobe
