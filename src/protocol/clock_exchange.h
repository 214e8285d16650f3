// The answer to the device's status packet: the mode-shift command with its
// checked answer, then the date/time packet. Both run on the watch thread on
// the interface and pipes held in the plug-in state.
#pragma once

#include <cstdint>

struct PluginState;

// Sends the mode-shift command and interprets the device's answer. 0 when the
// device accepted it; otherwise the first failure's command status.
uint16_t SendModeShift(PluginState* state);

// Sends the current local date and time as the 36-byte clock packet and reads
// the device's acknowledgement, which is not examined.
void SendClock(PluginState* state);
