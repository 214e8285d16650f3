// SPDX-License-Identifier: MIT
// The answer to the device's status packet: the mode-shift command with its
// checked answer, then the date/time packet. Both run on the watch thread on
// the interface and pipes held in the plug-in state.
#pragma once

#include <time.h>

#include <cstdint>

#include "protocol/command_status.h"

struct PluginState;

// The 36-byte date/time packet: EB 80, 13 zero bytes, the payload length 20,
// then the payload: "%y/%m/%d %H:%M" in local time, its NUL, four zero bytes
// and a checksum that makes the payload's 20 bytes add up to 0 modulo 256.
constexpr uint32_t ClockPacketSize = 36;
struct ClockPacket {
    uint8_t bytes[ClockPacketSize];
};
static_assert(sizeof(ClockPacket) == ClockPacketSize, "the packet goes out as one block");

// Room the mode-shift answer may fill; its buffer has one more byte for the
// NUL that ends the text.
constexpr uint32_t ModeShiftAnswerRequest = 2048;
// Room for the device's acknowledgement of the clock packet, never examined.
constexpr uint32_t ClockAnswerRequest = 128;

// Fills `packet` for the calendar time `now` converted to local time. False,
// with the packet untouched, when `now` has no local time or `packet` is absent.
bool BuildClockPacket(time_t now, ClockPacket* packet);

// Sends the mode-shift command and interprets the device's answer. CmdOk when
// the device accepted it; otherwise the first failure: the builder's status,
// the low 16 bits of a failed write, or the answer's status (0xFFFE for an
// answer of no bytes or a failed read). Never retries; a device that does not
// answer keeps it waiting until the interface is closed.
CommandStatus SendModeShift(PluginState* state);

// Sends the current local date and time as the clock packet and reads the
// device's acknowledgement, which is not examined. Nothing is read after a
// failed write.
void SendClock(PluginState* state);
