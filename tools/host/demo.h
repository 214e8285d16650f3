// SPDX-License-Identifier: MIT
// The host's demo: a simulated ZN417 on the simulated USB bus and a short
// scenario played against the plug-in (a status packet while the device is
// busy, one when it is ready, a button press, a second press after the
// plug-in's pause), narrated on standard output with the device's side of
// the mode-shift and clock exchange.
//
// For the host's own tests, ZN417_SIMULATE chooses another simulated bus:
// "idle" (the ZN417 alone, on a virtual clock whose sleeps pass at once),
// "press" (as idle, and one press of button 1 once the plug-in reads),
// "two" (two ZN417s), "denied" (one this user may not open), "held" (one
// whose interface another program holds), "none" (another maker's device).
#pragma once

#include "actions.h"
#include "host_options.h"

struct DemoScenario;

// Attaches the simulated devices of the scenario at the options' location
// (default 0x14100000). 0, or -1 with nothing attached (an unknown scenario
// included).
int PrepareDemo(const HostOptions& options, DemoScenario** demo);

// Prints the press as the demo shows it: time, event code, location, the
// event file's path and its decoded entries.
void ShowDemoEvent(const HostEvent& event);

// Plays the scenario on a thread of its own once the plug-in has started;
// calls `finished(context)` when it has run to its end.
void PlayDemo(DemoScenario* demo, void (*finished)(void* context), void* context);

// Tells the scenario that the host has shown an event (any thread).
void NoteDemoEvent(DemoScenario* demo);

// Ends the scenario early if it still plays, waits for its thread, unplugs
// the device and frees everything. Nothing for an absent demo.
void FinishDemo(DemoScenario* demo);
