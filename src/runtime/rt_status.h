// SPDX-License-Identifier: MIT
// Status codes of the portable runtime layer. Routines with an integer result
// return one of these negative codes on failure; 0 or a count on success.
#pragma once

#include <cstdint>

constexpr int32_t RtOk = 0;
constexpr int32_t RtErrNoMemory = -108;  // an allocation failed
constexpr int32_t RtErrArgument = -128;  // an absent pointer or an impossible size
constexpr int32_t RtErrIo = -138;        // the operating system refused a file operation
constexpr int32_t RtErrEmpty = -148;     // nothing to return: a missing entry or an empty stream
