// The numbers of the ICMP messages and IP protocols the probes use and their answers.
#pragma once

namespace hoprate {

constexpr int icmpEchoReply = 0;
constexpr int icmpUnreachable = 3;
constexpr int icmpEchoRequest = 8;
constexpr int icmpTimeExceeded = 11;
constexpr int codePortUnreachable = 3;       // of icmpUnreachable
constexpr int codeFragmentationNeeded = 4;   // of icmpUnreachable
constexpr int codeTtlExceeded = 0;           // of icmpTimeExceeded (1: reassembly)
constexpr int icmpHeaderLength = 8;

constexpr int protocolIcmp = 1;
constexpr int protocolUdp = 17;

}  // namespace hoprate
