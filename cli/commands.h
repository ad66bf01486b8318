#pragma once
// The commands of zelta-kn-cli.

#include "cli/options.h"

namespace zk::cli {

// Runs the command the options name; returns the exit status.
int runCommand(const Options &options);

} // namespace zk::cli
