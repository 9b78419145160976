#include "output/precise_names.h"

#include <array>

namespace hoprate {

namespace {

constexpr std::array protocols = {ProbeProtocol::Icmp, ProbeProtocol::Udp, ProbeProtocol::Tcp};
constexpr std::array methods = {HopMethod::Destination, HopMethod::EchoRouter, HopMethod::TtlLimited,
                                HopMethod::Silent};
constexpr std::array choices = {ProtocolChoice::Auto, ProtocolChoice::Icmp, ProtocolChoice::Udp, ProtocolChoice::Tcp};
constexpr std::array kinds = {ReplyKind::EchoReply,   ReplyKind::TimeExceeded, ReplyKind::PortUnreachable,
                              ReplyKind::Unreachable, ReplyKind::TooBig,       ReplyKind::TcpReset,
                              ReplyKind::TcpSynAck};

}  // namespace

const char *protocolName(ProbeProtocol protocol)
{
    switch (protocol) {
    case ProbeProtocol::Icmp:
        return "icmp";
    case ProbeProtocol::Udp:
        return "udp";
    case ProbeProtocol::Tcp:
        return "tcp";
    }
    return "";
}

const char *methodName(HopMethod method)
{
    switch (method) {
    case HopMethod::Destination:
        return "destination";
    case HopMethod::EchoRouter:
        return "echo-router";
    case HopMethod::TtlLimited:
        return "ttl-limited";
    case HopMethod::Silent:
        return "silent";
    }
    return "";
}

const char *replyKindName(ReplyKind kind, Family family)
{
    switch (kind) {
    case ReplyKind::EchoReply:
        return "echo-reply";
    case ReplyKind::TimeExceeded:
        return "time-exceeded";
    case ReplyKind::PortUnreachable:
        return "port-unreachable";
    case ReplyKind::Unreachable:
        return "unreachable";
    case ReplyKind::TooBig:
        return family == Family::V4 ? "fragmentation-needed" : "packet-too-big";
    case ReplyKind::TcpReset:
        return "tcp-reset";
    case ReplyKind::TcpSynAck:
        return "tcp-syn-ack";
    }
    return "";
}

const char *protocolChoiceName(ProtocolChoice choice)
{
    switch (choice) {
    case ProtocolChoice::Auto:
        return "auto";
    case ProtocolChoice::Icmp:
        return "icmp";
    case ProtocolChoice::Udp:
        return "udp";
    case ProtocolChoice::Tcp:
        return "tcp";
    }
    return "";
}

std::optional<ProbeProtocol> protocolNamed(std::string_view name)
{
    for (const ProbeProtocol protocol : protocols)
        if (name == protocolName(protocol))
            return protocol;
    return std::nullopt;
}

std::optional<HopMethod> methodNamed(std::string_view name)
{
    for (const HopMethod method : methods)
        if (name == methodName(method))
            return method;
    return std::nullopt;
}

std::optional<ReplyKind> replyKindNamed(std::string_view name)
{
    for (const ReplyKind kind : kinds)
        if (name == replyKindName(kind, Family::V4) || name == replyKindName(kind, Family::V6))
            return kind;
    return std::nullopt;
}

std::optional<ProtocolChoice> protocolChoiceNamed(std::string_view name)
{
    for (const ProtocolChoice choice : choices)
        if (name == protocolChoiceName(choice))
            return choice;
    return std::nullopt;
}

}  // namespace hoprate
