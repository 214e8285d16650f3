// SPDX-License-Identifier: MIT
// A simulated ZN417 on the simulated USB bus: its scanner interface,
// its interrupt packets, and a device side of the bulk exchange that checks
// the mode-shift command and the clock packet a correct plug-in sends.
#pragma once

#include <cstdint>
#include <string>

// Pipe references of the model's interface, in the order the registry shows them.
constexpr uint8_t Zn417BulkOutPipe = 1;
constexpr uint8_t Zn417BulkInPipe = 2;
constexpr uint8_t Zn417InterruptPipe = 3;

// How the device answers the mode-shift command.
enum Zn417AnswerMode : int32_t {
    Zn417AnswerAccept,   // a VendorCmdResponse for "scan" whose result word is "OK"
    Zn417AnswerRefuse,   // the same with result word "NG" and the chosen detail
    Zn417AnswerGarbage,  // bytes that are no XML
    Zn417AnswerNothing,  // a transfer of no bytes
    Zn417AnswerNever,    // no transfer at all: the reader waits until the pipe is aborted
    Zn417AnswerLong,     // an accepting answer of exactly 2048 bytes
    Zn417AnswerCustom,   // the bytes given to Zn417SetCustomAnswer
};

// A date and time as the device decoded it from a clock packet.
struct Zn417Clock {
    int32_t year;  // four digits: 2000 + the packet's two
    int32_t month;
    int32_t day;
    int32_t hour;
    int32_t minute;
};

// What the device saw and did since it was attached.
struct Zn417Report {
    uint32_t commandsAccepted;  // writes equal to the mode-shift command
    uint32_t answersSent;       // answers to the mode-shift command, empty ones included
    uint32_t clockPackets;      // well-formed clock packets
    uint32_t badClockPackets;   // 36-byte packets with a wrong checksum, marker or layout
    uint32_t unexpectedWrites;  // anything else; answered with "NG" / "ParameterError"
    bool clockSet;              // lastClock holds the latest well-formed packet's time
    Zn417Clock lastClock;
};

// Kinds of the lines the log hook receives.
enum Zn417LogKind : int32_t {
    Zn417LogCommand,     // "command received: <text>"
    Zn417LogAnswer,      // "answer: <text>" or "answer: none"
    Zn417LogClock,       // "device clock set to 2024-03-01 09:05"
    Zn417LogUnexpected,  // a write the device does not accept, or a bad clock packet
};

// Receives one readable line (no newline) on the thread of the write that
// caused it. The hook may call Zn417CopyLastAnswer but must not attach,
// detach or reconfigure the model.
using Zn417LogHook = void (*)(void* context, Zn417LogKind kind, const char* line);

struct Zn417Model;

// Attaches a ZN417 at `location` on the simulated bus and answers its bulk
// writes from now on (accepting). Null when the bus refuses the device.
Zn417Model* Zn417Attach(int32_t location);

// A ZN417's device side on no bus, for a test that carries the bytes itself
// (a mocked USB kernel): it checks and answers writes as an attached model
// does. Freed with Zn417Detach.
Zn417Model* Zn417CreateUnattached();

// Plays the device's side of one bulk write: checks it, counts it in the
// report, logs it. True with the bytes to send back on bulk-in in *answer
// (perhaps none); false when the device stays silent.
bool Zn417ReceiveWrite(Zn417Model* model, const void* data, uint32_t length, std::string* answer);

// An interrupt packet as the device sends it: the status word at bytes 2-3,
// the button code at byte 4, zeros elsewhere.
constexpr uint32_t Zn417InterruptPacketLength = 32;
void Zn417FillInterruptPacket(uint16_t statusWord, uint8_t buttonCode,
                              uint8_t (&packet)[Zn417InterruptPacketLength]);

// Stops answering, unplugs the device and frees the model; nothing for an
// absent one. Only when no write to the device can still be under way.
void Zn417Detach(Zn417Model* model);

uint32_t Zn417InterfaceId(const Zn417Model* model);
uint32_t Zn417DeviceId(const Zn417Model* model);

// Chooses the answer to the next mode-shift commands. `detail` is used by
// Zn417AnswerRefuse: the text of the ivec:response_detail element, or null for
// an answer without that element.
void Zn417SetAnswerMode(Zn417Model* model, Zn417AnswerMode mode, const char* detail = nullptr);

// Makes the device answer with exactly these bytes (Zn417AnswerCustom).
void Zn417SetCustomAnswer(Zn417Model* model, const void* data, uint32_t length);

void Zn417SetLogHook(Zn417Model* model, Zn417LogHook hook, void* context);

// Queues an interrupt packet of 32 bytes: a status packet (status word 256,
// no button) or a press of the button `code`.
void Zn417QueueStatusPacket(Zn417Model* model);
void Zn417QueueButtonPress(Zn417Model* model, uint8_t code);

Zn417Report Zn417GetReport(const Zn417Model* model);

// Copies up to `capacity` bytes of the latest answer to the mode-shift
// command; returns its full length (0 when none was sent).
uint32_t Zn417CopyLastAnswer(const Zn417Model* model, void* buffer, uint32_t capacity);

// The text of the mode-shift command that a correct plug-in sends, as the
// device expects it byte for byte.
const char* Zn417ExpectedModeShift();
