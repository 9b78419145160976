// The words the accurate mode's writers use for its protocols, methods and reply kinds,
// and the way back from a word, for what reads them.
#pragma once

#include <optional>
#include <string_view>

#include "model/precise_result.h"
#include "model/precise_settings.h"

namespace hoprate {

const char *protocolName(ProbeProtocol protocol);  // "icmp", "udp", "tcp"
const char *methodName(HopMethod method);          // "destination", "echo-router", "ttl-limited", "silent"
// "echo-reply", "time-exceeded", ...; too big is "fragmentation-needed" for IPv4 and
// "packet-too-big" for IPv6.
const char *replyKindName(ReplyKind kind, Family family);

const char *protocolChoiceName(ProtocolChoice choice);  // "auto", "icmp", "udp", "tcp"

std::optional<ProbeProtocol> protocolNamed(std::string_view name);
std::optional<HopMethod> methodNamed(std::string_view name);
// Either name of too big.
std::optional<ReplyKind> replyKindNamed(std::string_view name);
std::optional<ProtocolChoice> protocolChoiceNamed(std::string_view name);

}  // namespace hoprate
