// The host's demo: a simulated ZN417 on the simulated USB bus and a short
// scenario played against the plug-in (a status packet while the device is
// busy, one when it is ready, a button press, a second press after the
// plug-in's pause), narrated on standard output with the device's side of
// the mode-shift and clock exchange.
#pragma once

#include "host_options.h"

struct DemoScenario;

// Attaches the simulated ZN417 at the options' location and, with --trace,
// prints every USB operation. 0, or -1 with nothing attached.
int PrepareDemo(const HostOptions* options, DemoScenario** demo);

// Plays the scenario on a thread of its own once the plug-in has started;
// calls `finished(context)` when it has run to its end.
void PlayDemo(DemoScenario* demo, void (*finished)(void* context), void* context);

// Tells the scenario that the host received an event (any thread).
void NoteDemoEvent(DemoScenario* demo);

// Ends the scenario early if it still plays, waits for its thread, unplugs
// the device and frees everything. Nothing for an absent demo.
void FinishDemo(DemoScenario* demo);
