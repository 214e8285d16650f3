// SPDX-License-Identifier: MIT
// The check that the maker's devices now attached leave no doubt about which
// one the plug-in serves: one model, at one location.
#pragma once

#include <cstdint>

#include "plugin/plugin_state.h"

// Walks the USB interfaces. Among those with the maker's vendor ID and
// protocol 255, every one must carry the state's product ID and all must sit
// at one location (a location of 0 does not fix it). A property an interface
// lacks counts as -1. Returns 0 when they pass; -1 when they do not, when an
// interface's property set cannot be made, when the walk cannot start, or
// for an absent state. Uses only the state's productId.
int32_t CheckAttachedDevices(const PluginState* state);
