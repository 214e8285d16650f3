// SPDX-License-Identifier: MIT
// Actions: the command run for each press through /bin/sh -c, with the event
// file as $1, the event in the environment and /dev/null as stdin, one at a
// time in press order, each in a process group of its own. A timeout or the
// host's stop ends all of it (TERM, then KILL), also what it left running in
// a session of its own: the host is its children's subreaper, so such
// leftovers stay its descendants. The caller polls the runner's
// descriptors; nothing here blocks but EndAllActions, at most 0.5 s.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <string>

#include "host_options.h"

// One press, as an action sees it.
struct HostEvent {
    std::string file;       // the event file; empty when it was not found
    int button = 0;         // button code (byte 4 of the event data); 0 when unknown
    std::string eventData;  // the event data as 64 hexadecimal digits; empty when unknown
    int32_t location = 0;
    std::string device;  // sysfs name
    int busNumber = 0;      // USB bus and device number, as lsusb and SANE's
    int deviceAddress = 0;  // libusb:BBB:DDD device names give them; 0 when unknown
};

struct PendingAction {
    HostEvent event;
    std::string command;
};

struct ActionRunner {
    std::deque<PendingAction> queue;
    PendingAction current;
    pid_t pid = -1;    // the running action, also its process group; -1 when none
    int pidFd = -1;    // readable once the running action has ended
    int timerFd = -1;  // readable when the running action's time is up
    bool terminating = false;  // TERM sent, KILL follows at the next timer
    int64_t timeoutSeconds = kDefaultActionTimeout;
    int64_t killGraceMs = 5000;  // from a timeout's TERM to the KILL (tests shorten it)
};

// 0, or -1 when the timer cannot be made.
int ActionRunnerInit(ActionRunner* runner);

// Ends a running action (EndAllActions) and closes the descriptors.
void ActionRunnerRelease(ActionRunner* runner);

// The command for the event: the button's own, else the general one; empty
// when none is set.
std::string CommandForEvent(const HostSettings& settings, const HostEvent& event);

// What /bin/sh -c runs for `command`: a single word (a plain script path or
// program name) with "$1" appended, so that it gets the event file as its
// argument; anything else as it stands, to use "$1" as it likes.
std::string ShellScriptFor(const std::string& command);

void QueueAction(ActionRunner* runner, const HostEvent& event, const std::string& command);

bool ActionRunning(const ActionRunner* runner);
bool ActionsQueued(const ActionRunner* runner);

// Starts the first queued action. 0 with runner->pid set; -1 when it could
// not be started (logged; the action is dropped and runner->current holds it).
int StartNextAction(ActionRunner* runner);

// After pidFd became readable: reaps the action. True with its wait status
// when it has ended (runner->current still describes it).
bool ReapAction(ActionRunner* runner, int* waitStatus);

// After timerFd became readable: TERM to the action's group, or KILL when
// TERM was already sent.
void OnActionTimer(ActionRunner* runner);

// Forgets the queued actions, logging each press with its event file, which
// is kept for the user to act on.
void DropQueuedActions(ActionRunner* runner);

// Ends the running action: TERM to its group and every descendant of the
// host, up to 0.5 s for them to end, then KILL; reaps them. Queued actions
// are dropped (their files are kept).
void EndAllActions(ActionRunner* runner);

// Reaps the host's children that have ended, but the running action (left
// for ReapAction): what actions left behind and the host inherited.
void ReapOrphans(ActionRunner* runner);
