// SPDX-License-Identifier: MIT
// Helpers for the command layer's tests: the namespace URIs and command
// documents written out independently of the builder, and device answers
// assembled from their parts.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/command_status.h"
#include "xmlpath/engine.h"

#ifndef ZN_NAMESPACE_BASE
#error "ZN_NAMESPACE_BASE comes from the build"
#endif

namespace prototest {

inline const std::string kCommonUri = std::string(ZN_NAMESPACE_BASE) + "/ns/cmd/2008/07/common/";
inline const std::string kVendorUri = std::string(ZN_NAMESPACE_BASE) + "/ns/cmd/2008/07/korvel/";
inline const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>";

// The clock packet for 09:05 on 1 March 2024 local time ("24/03/01 09:05").
inline const uint8_t kExamplePacket[36] = {0xEB, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14, 0x32, 0x34,
                                           0x2F, 0x30, 0x33, 0x2F, 0x30, 0x31, 0x20, 0x30, 0x39,
                                           0x3A, 0x30, 0x35, 0x00, 0x00, 0x00, 0x00, 0x00, 0x50};

// Parts of a device answer; a null member leaves its element (or the
// servicetype attribute) out.
struct AnswerParts {
    const char* serviceType = "\"scan\"";  // with its quotes, as it stands in the tag
    const char* operation = "VendorCmdResponse";
    const char* jobId = "00000001";
    const char* response = "OK";
    const char* detail = nullptr;
};

inline std::string Answer(const AnswerParts& parts) {
    std::string text = kDeclaration + "<cmd xmlns:ivec=\"" + kCommonUri + "\"><ivec:contents>";
    if (parts.operation != nullptr) {
        text += std::string("<ivec:operation>") + parts.operation + "</ivec:operation>";
    }
    text += "<ivec:param_set";
    if (parts.serviceType != nullptr) {
        text += std::string(" servicetype=") + parts.serviceType;
    }
    text += ">";
    if (parts.jobId != nullptr) {
        text += std::string("<ivec:jobID>") + parts.jobId + "</ivec:jobID>";
    }
    if (parts.response != nullptr) {
        text += std::string("<ivec:response>") + parts.response + "</ivec:response>";
    }
    if (parts.detail != nullptr) {
        text += std::string("<ivec:response_detail>") + parts.detail + "</ivec:response_detail>";
    }
    text += "</ivec:param_set></ivec:contents></cmd>";
    return text;
}

// An "NG" answer with this detail (null: no detail element).
inline AnswerParts Refusal(const char* detail) {
    AnswerParts parts;
    parts.response = "NG";
    parts.detail = detail;
    return parts;
}

// Statuses an allocation failure may surface as: the command layer's own, or
// one of the engine's when it fails inside a run.
inline bool IsAllocationFailureStatus(CommandStatus status) {
    return status == CmdNoMemory || status == CommandStatusFromEngine(XmlErrNoMemory) ||
           status == CommandStatusFromEngine(XmlErrBadTag) ||
           status == CommandStatusFromEngine(XmlErrArgument);
}

}  // namespace prototest
