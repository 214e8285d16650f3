// SPDX-License-Identifier: MIT
// The device's XML answers: five values read by path and turned into one
// command status, and the job ID that a StartJob answer assigns.
#pragma once

#include "protocol/command_status.h"

// Interprets the NUL-terminated `answer`. CmdOk when the device accepted the
// command; CmdWrongService when the first servicetype is not "scan"; the
// device's condition for an "NG" answer; CmdBadParameter for a
// StartJobResponse without a job ID; CmdNoMemory; or the engine's status in
// its 16-bit form (0xFFFE for an empty answer, 0xFFFD for one without a
// declaration). Bytes in front of the declaration are skipped. When
// `jobIdOut` is given and the answer is an accepted StartJobResponse, it
// receives a new copy of the job ID (released with FreeMemory); in every
// other case it is left untouched.
CommandStatus ParseScanResponse(char** jobIdOut, const char* answer);
