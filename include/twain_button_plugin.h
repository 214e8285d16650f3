// SPDX-License-Identifier: MIT
/* ZN417 scanner push-button plug-in: the interface for host authors.
 * A host loads the plug-in (dlopen), calls TWAINButtonPluginStart once for the
 * USB location of one attached ZN417, receives one callback per accepted
 * button press on the plug-in's own thread, and calls TWAINButtonPluginStop. */
#ifndef TWAIN_BUTTON_PLUGIN_H
#define TWAIN_BUTTON_PLUGIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The one event code: the characters 's' 'c' 'a' 'n' as a big-endian word. */
#define TWAIN_BUTTON_EVENT_SCAN 0x7363616Eu

/* Called on the plug-in's watch thread after the press's event file
 * (/tmp/TRNV.<YYYYmmddHHMMSS>.plist) has been written. `hostLocation` is the
 * pointer given to Start; the result is ignored. The callback may call
 * TWAINButtonPluginStop (see there); TWAINButtonPluginStart called from it
 * returns -1 and changes nothing. It must not dlclose the module. */
typedef int32_t (*HostCallback)(uint32_t eventCode, int32_t* hostLocation, void* hostContext);

/* Starts watching the device at *hostLocation, whose value is read again at
 * each press. The pointed-to value must stay valid until the watch has ended
 * (see TWAINButtonPluginStop). `reserved` is never read. Returns 0 when
 * started (or when the attached devices are ambiguous, in which case nothing
 * is watched), -1 on failure, when already started, or when called from
 * inside the callback. */
int32_t TWAINButtonPluginStart(int32_t* hostLocation, void* hostContext, void* reserved,
                               HostCallback callback);

/* Stops watching. Always 0.
 * Called from the host's own threads: returns once the watch thread has ended;
 * a callback in progress is let finish first.
 * Called from inside the callback (on the watch thread, which cannot wait for
 * itself): the device is released at once, no further callback comes, and the
 * watch thread ends as soon as the callback returns. The thread is reclaimed
 * by the next Start or Stop from another thread, or when the module is
 * unloaded; a Start made meanwhile waits for the callback to return.
 * Unloading the module (dlclose) or exiting the process with a watch running
 * stops it as this function does, waiting for a callback in progress. */
int32_t TWAINButtonPluginStop(void);

/* Names to look up with dlsym. */
#define TWAIN_BUTTON_PLUGIN_START_SYMBOL "TWAINButtonPluginStart"
#define TWAIN_BUTTON_PLUGIN_STOP_SYMBOL "TWAINButtonPluginStop"

typedef int32_t (*TWAINButtonPluginStartFunction)(int32_t*, void*, void*, HostCallback);
typedef int32_t (*TWAINButtonPluginStopFunction)(void);

#ifdef __cplusplus
}
#endif

#endif
