// SPDX-License-Identifier: MIT
// The device's XML commands: StartJob, EndJob and the vendor command
// ModeShift, each made by rewriting a fixed template with the XML path engine.
#pragma once

#include <cstdint>

#include "protocol/command_status.h"

using CommandKind = int32_t;
constexpr CommandKind KindStartJob = 1;
constexpr CommandKind KindEndJob = 2;
constexpr CommandKind KindModeShift = 3;  // VendorCmd with the operation ModeShift

// Builds the command of `kind` as a new NUL-terminated text that the caller
// releases with FreeMemory. `jobId` (NUL-terminated, may be absent) is
// required by KindEndJob and used by KindModeShift only when `useJobId` is
// set; KindStartJob ignores both. On success *status is CmdOk; otherwise the
// result is null and *status is CmdBadParameter (unknown kind, absent or
// empty job ID where one is needed, a path list left incomplete even by an
// allocation failure), CmdNoMemory, or the engine's status in its 16-bit
// form. `status` may be absent.
char* BuildCommand(CommandKind kind, const char* jobId, bool useJobId, CommandStatus* status);
