// SPDX-License-Identifier: MIT
// The simulated ZN417: attachment, the device's answers on the bulk-in pipe,
// and its checks of the commands and clock packets that arrive on bulk-out.
// It keeps its own heap (std containers), apart from the plug-in's allocator,
// so that allocation-failure tests never reach the device.
#include "zn417_model.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim_bus.h"
#include "usb/usb_ids.h"

#ifndef ZN_NAMESPACE_BASE
#error "ZN_NAMESPACE_BASE comes from the build"
#endif

struct Zn417Model {
    mutable std::mutex lock;
    uint32_t deviceId = 0;
    uint32_t interfaceId = 0;
    Zn417AnswerMode mode = Zn417AnswerAccept;
    bool hasDetail = false;
    std::string detail;
    std::string customAnswer;
    std::string lastAnswer;
    Zn417Report report = {};
    Zn417LogHook hook = nullptr;
    void* hookContext = nullptr;
};

namespace {

// The device's own idea of the two namespaces, written out here rather than
// taken from the plug-in's headers, so that a wrong URI there is caught.
const std::string kCommonUri = std::string(ZN_NAMESPACE_BASE) + "/ns/cmd/2008/07/common/";
const std::string kVendorUri = std::string(ZN_NAMESPACE_BASE) + "/ns/cmd/2008/07/korvel/";
const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>";

const std::string kExpectedModeShift =
    kDeclaration + "<cmd xmlns:ivec=\"" + kCommonUri + "\" xmlns:vxr=\"" + kVendorUri +
    "\"><ivec:contents><ivec:operation>VendorCmd</ivec:operation>"
    "<ivec:param_set servicetype=\"scan\"><ivec:jobID> </ivec:jobID>"
    "<vxr:ijoperation>ModeShift</vxr:ijoperation><vxr:ijmode>1</vxr:ijmode>"
    "</ivec:param_set></ivec:contents></cmd>";

constexpr uint32_t kLongAnswerLength = 2048;
constexpr uint32_t kClockPacketLength = 36;
constexpr uint8_t kClockAcknowledgement[] = {0xEB, 0x80, 0x00, 0x00};

// A VendorCmdResponse; `padding` goes into a comment before the operation.
std::string VendorAnswer(const char* resultWord, const std::string* detail,
                         const std::string& padding = std::string()) {
    std::string answer = kDeclaration + "<cmd xmlns:ivec=\"" + kCommonUri + "\" xmlns:vxr=\"" +
                         kVendorUri + "\"><ivec:contents>";
    if (!padding.empty()) {
        answer += "<!--" + padding + "-->";
    }
    answer +=
        "<ivec:operation>VendorCmdResponse</ivec:operation>"
        "<ivec:param_set servicetype=\"scan\"><ivec:jobID> </ivec:jobID><ivec:response>";
    answer += resultWord;
    answer += "</ivec:response>";
    if (detail != nullptr) {
        answer += "<ivec:response_detail>" + *detail + "</ivec:response_detail>";
    }
    answer += "</ivec:param_set></ivec:contents></cmd>";
    return answer;
}

// An accepting answer of exactly kLongAnswerLength bytes; the padding
// comment sits early, so that the values that decide come last.
std::string LongAnswer() {
    const std::string empty;
    const size_t bare = VendorAnswer("OK", &empty).size() + 7;  // with "<!--" and "-->"
    return VendorAnswer("OK", &empty, std::string(kLongAnswerLength - bare, 'x'));
}

// The bytes as a line: printable ASCII as it is, anything else as \xNN, cut
// after `limit` characters with the full length noted.
std::string Readable(const uint8_t* data, uint32_t length, size_t limit = 600) {
    std::string line;
    for (uint32_t i = 0; i < length; ++i) {
        if (line.size() >= limit) {
            line += "... (" + std::to_string(length) + " bytes)";
            break;
        }
        const uint8_t byte = data[i];
        if (byte >= 0x20 && byte < 0x7F) {
            line += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            line += escaped;
        }
    }
    return line;
}

bool IsDigit(uint8_t byte) {
    return byte >= '0' && byte <= '9';
}

int32_t TwoDigits(const uint8_t* at) {
    return (at[0] - '0') * 10 + (at[1] - '0');
}

// Checks the layout and checksum of a clock packet and decodes its time.
bool DecodeClock(const uint8_t* packet, Zn417Clock* clock) {
    if (packet[0] != 0xEB || packet[1] != 0x80 || packet[15] != 0x14) {
        return false;
    }
    for (uint32_t i = 2; i < 15; ++i) {
        if (packet[i] != 0) {
            return false;
        }
    }
    for (uint32_t i = 30; i < 35; ++i) {
        if (packet[i] != 0) {
            return false;
        }
    }
    uint32_t sum = 0;
    for (uint32_t i = 16; i < kClockPacketLength; ++i) {
        sum += packet[i];
    }
    if (sum % 256 != 0) {
        return false;
    }
    const uint8_t* text = packet + 16;  // "yy/mm/dd HH:MM"
    static const char kShape[] = "00/00/00 00:00";
    for (uint32_t i = 0; i < 14; ++i) {
        const bool digitWanted = kShape[i] == '0';
        if (digitWanted ? !IsDigit(text[i]) : text[i] != static_cast<uint8_t>(kShape[i])) {
            return false;
        }
    }
    clock->year = 2000 + TwoDigits(text);
    clock->month = TwoDigits(text + 3);
    clock->day = TwoDigits(text + 6);
    clock->hour = TwoDigits(text + 9);
    clock->minute = TwoDigits(text + 12);
    return clock->month >= 1 && clock->month <= 12 && clock->day >= 1 && clock->day <= 31 &&
           clock->hour <= 23 && clock->minute <= 59;
}

struct LogLine {
    Zn417LogKind kind;
    std::string text;
};

// The answer to the mode-shift command in the current mode; false for none.
bool ModeShiftAnswer(const Zn417Model* model, std::string* answer) {
    switch (model->mode) {
        case Zn417AnswerAccept: {
            const std::string empty;
            *answer = VendorAnswer("OK", &empty);
            return true;
        }
        case Zn417AnswerRefuse:
            *answer = VendorAnswer("NG", model->hasDetail ? &model->detail : nullptr);
            return true;
        case Zn417AnswerGarbage:
            *answer = std::string("\x15\x03garbage, no XML here \xFF\xFE<cmd", 30);
            return true;
        case Zn417AnswerNothing:
            answer->clear();
            return true;
        case Zn417AnswerNever:
            return false;
        case Zn417AnswerLong:
            *answer = LongAnswer();
            return true;
        case Zn417AnswerCustom:
            *answer = model->customAnswer;
            return true;
    }
    return false;
}

// The device's side of one bulk write: checks and counts it, and decides the
// answer. Log lines go to the hook after the model's lock is let go.
bool ReceiveWrite(Zn417Model* model, const uint8_t* data, uint32_t length, std::string* answer) {
    std::vector<LogLine> lines;
    bool answering = false;
    Zn417LogHook hook = nullptr;
    void* hookContext = nullptr;
    {
        std::lock_guard<std::mutex> guard(model->lock);
        hook = model->hook;
        hookContext = model->hookContext;
        const bool isCommand = length == kExpectedModeShift.size() &&
                               std::memcmp(data, kExpectedModeShift.data(), length) == 0;
        if (isCommand) {
            model->report.commandsAccepted += 1;
            lines.push_back({Zn417LogCommand, "command received: " + Readable(data, length)});
            answering = ModeShiftAnswer(model, answer);
            if (answering) {
                model->report.answersSent += 1;
                model->lastAnswer = *answer;
            }
            lines.push_back(
                {Zn417LogAnswer,
                 answering ? "answer: " +
                                 Readable(reinterpret_cast<const uint8_t*>(answer->data()),
                                          static_cast<uint32_t>(answer->size())) +
                                 (answer->empty() ? "(no bytes)" : "")
                           : "answer: none (the device stays silent)"});
        } else if (length == kClockPacketLength && data[0] == 0xEB) {
            Zn417Clock clock = {};
            answering = true;
            answer->assign(reinterpret_cast<const char*>(kClockAcknowledgement),
                           sizeof kClockAcknowledgement);
            if (DecodeClock(data, &clock)) {
                model->report.clockPackets += 1;
                model->report.clockSet = true;
                model->report.lastClock = clock;
                char text[64];
                std::snprintf(text, sizeof text, "device clock set to %04d-%02d-%02d %02d:%02d",
                              clock.year, clock.month, clock.day, clock.hour, clock.minute);
                lines.push_back({Zn417LogClock, text});
            } else {
                model->report.badClockPackets += 1;
                lines.push_back(
                    {Zn417LogUnexpected, "bad clock packet: " + Readable(data, length)});
            }
        } else {
            // A device refuses a command it does not know; answering keeps a
            // faulty plug-in from waiting for ever.
            model->report.unexpectedWrites += 1;
            const std::string detail = "ParameterError";
            *answer = VendorAnswer("NG", &detail);
            answering = true;
            lines.push_back({Zn417LogUnexpected, "unexpected write of " + std::to_string(length) +
                                                     " bytes: " + Readable(data, length)});
        }
    }
    if (hook != nullptr) {
        for (const LogLine& line : lines) {
            hook(hookContext, line.kind, line.text.c_str());
        }
    }
    return answering;
}

void Respond(void* context, uint32_t interfaceId, uint8_t pipeRef, const uint8_t* data,
             uint32_t length) {
    auto* model = static_cast<Zn417Model*>(context);
    if (pipeRef != Zn417BulkOutPipe) {
        return;
    }
    std::string answer;
    if (ReceiveWrite(model, data, length, &answer)) {
        SimQueueInPacket(interfaceId, Zn417BulkInPipe, answer.data(),
                         static_cast<uint32_t>(answer.size()));
    }
}

void QueueInterruptPacket(Zn417Model* model, uint16_t statusWord, uint8_t buttonCode) {
    uint8_t packet[Zn417InterruptPacketLength];
    Zn417FillInterruptPacket(statusWord, buttonCode, packet);
    SimQueueInPacket(model->interfaceId, Zn417InterruptPipe, packet, sizeof packet);
}

}  // namespace

Zn417Model* Zn417Attach(int32_t location) {
    const SimProperty properties[] = {
        {"bInterfaceProtocol", VendorSpecificProtocol},
        {"bInterfaceNumber", ScannerInterfaceNumber},
        {"idVendor", MakerVendorId},
        {"idProduct", static_cast<int32_t>(ModelProductId)},
        {"bNumEndpoints", ScannerEndpointCount},
        {"locationID", location},
    };
    const SimPipe pipes[] = {
        {UsbDirectionOut, UsbTransferBulk, 1, 512, 0},
        {UsbDirectionIn, UsbTransferBulk, 2, 512, 0},
        {UsbDirectionIn, UsbTransferInterrupt, 3, 64, 8},
    };
    SimInterfaceDesc scanner{};
    scanner.properties = properties;
    scanner.propertyCount = sizeof properties / sizeof properties[0];
    scanner.pipes = pipes;
    scanner.pipeCount = sizeof pipes / sizeof pipes[0];

    auto* model = new Zn417Model;
    model->deviceId = SimAttachDevice(&scanner, 1, &model->interfaceId);
    if (model->deviceId == 0 || SimSetResponder(model->interfaceId, Respond, model) != PlatformOk) {
        Zn417Detach(model);
        return nullptr;
    }
    return model;
}

Zn417Model* Zn417CreateUnattached() {
    return new Zn417Model;
}

bool Zn417ReceiveWrite(Zn417Model* model, const void* data, uint32_t length,
                       std::string* answer) {
    answer->clear();
    return ReceiveWrite(model, static_cast<const uint8_t*>(data), length, answer);
}

void Zn417FillInterruptPacket(uint16_t statusWord, uint8_t buttonCode,
                              uint8_t (&packet)[Zn417InterruptPacketLength]) {
    std::memset(packet, 0, sizeof packet);
    packet[2] = static_cast<uint8_t>(statusWord & 0xFF);
    packet[3] = static_cast<uint8_t>(statusWord >> 8);
    packet[4] = buttonCode;
}

void Zn417Detach(Zn417Model* model) {
    if (model == nullptr) {
        return;
    }
    if (model->deviceId != 0) {
        SimSetResponder(model->interfaceId, nullptr, nullptr);
        SimDetachDevice(model->deviceId);
    }
    delete model;
}

uint32_t Zn417InterfaceId(const Zn417Model* model) {
    return model->interfaceId;
}

uint32_t Zn417DeviceId(const Zn417Model* model) {
    return model->deviceId;
}

void Zn417SetAnswerMode(Zn417Model* model, Zn417AnswerMode mode, const char* detail) {
    std::lock_guard<std::mutex> guard(model->lock);
    model->mode = mode;
    model->hasDetail = detail != nullptr;
    model->detail = detail != nullptr ? detail : "";
}

void Zn417SetCustomAnswer(Zn417Model* model, const void* data, uint32_t length) {
    std::lock_guard<std::mutex> guard(model->lock);
    model->mode = Zn417AnswerCustom;
    model->customAnswer.assign(static_cast<const char*>(data), length);
}

void Zn417SetLogHook(Zn417Model* model, Zn417LogHook hook, void* context) {
    std::lock_guard<std::mutex> guard(model->lock);
    model->hook = hook;
    model->hookContext = context;
}

void Zn417QueueStatusPacket(Zn417Model* model) {
    QueueInterruptPacket(model, 256, 0);
}

void Zn417QueueButtonPress(Zn417Model* model, uint8_t code) {
    QueueInterruptPacket(model, 0, code);
}

Zn417Report Zn417GetReport(const Zn417Model* model) {
    std::lock_guard<std::mutex> guard(model->lock);
    return model->report;
}

uint32_t Zn417CopyLastAnswer(const Zn417Model* model, void* buffer, uint32_t capacity) {
    std::lock_guard<std::mutex> guard(model->lock);
    const auto length = static_cast<uint32_t>(model->lastAnswer.size());
    if (buffer != nullptr) {
        std::memcpy(buffer, model->lastAnswer.data(), length < capacity ? length : capacity);
    }
    return length;
}

const char* Zn417ExpectedModeShift() {
    return kExpectedModeShift.c_str();
}
