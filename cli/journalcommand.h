#pragma once
// zelta-kn-cli journal annual|consumption: reads one of the meter's journals.

#include "cli/options.h"

namespace zk::cli {

// One poll cycle, then the journal's requests through the engine's queue; prints the
// rows as the window's view shows them. Returns the exit status.
int commandJournal(const Options &o);

} // namespace zk::cli
