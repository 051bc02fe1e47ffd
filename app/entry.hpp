#pragma once

#include "client/gateway_probe.hpp"
#include "client/punchprobe_client.hpp"

namespace punchprobe {

// The whole program short of the console window's wait: reads the command
// line, runs one client on an event loop, prints what leaves it, and returns
// the exit status. Tests pass shorter step durations, and their own gateway.
int run_entry(int argc, const char* const argv[], const StepDurations& durations = StepDurations(),
              const GatewayProbeSettings& gateway_settings = GatewayProbeSettings());

}  // namespace punchprobe
