// Interim clock exchange: the command builder and response interpreter are
// not built yet, so the mode shift reports failure and no clock packet is sent.
#include "protocol/clock_exchange.h"

namespace {
constexpr uint16_t kNotYetAvailable = 0x0200;
}

uint16_t SendModeShift(PluginState*) { return kNotYetAvailable; }

void SendClock(PluginState*) {}
