// Runs the start-up steps of a real run (raw ICMP socket, so it needs root) and prints
// what the namespace test compares: sockets and their TTLs, the aim of each sweep, the
// results path and sizes, and how real replies are decoded. Every line is deterministic.
//
//   prober_check state DEST TTL icmp|udp ITERATIONS SIZE...
//   prober_check switch DEST
//   prober_check exchange DEST TTL icmp|udp [CORPUS_PREFIX]
//
// exchange sends one probe and decodes what arrives (at most 2 s, at most 20
// datagrams); with CORPUS_PREFIX every received datagram is also written as a seed
// for the reply fuzzer: a 9-byte parameter prefix, then the datagram.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/classic_main.h"
#include "engine/classic_engine.h"
#include "net/linux_network.h"
#include "net/resolve.h"
#include "output/classic_console.h"
#include "support/clock.h"
#include "support/privileges.h"
#include "wire/probe.h"
#include "wire/reply.h"

using namespace hoprate;

namespace {

std::string ttlOf(int socket)
{
    if (socket < 0)
        return "-";
    int value = -1;
    socklen_t length = sizeof value;
    if (getsockopt(socket, IPPROTO_IP, IP_TTL, &value, &length) != 0)
        return "error";
    return std::to_string(value);
}

SweepProtocol protocolOf(const std::string &text)
{
    if (text != "icmp" && text != "udp") {
        std::fprintf(stderr, "protocol must be icmp or udp\n");
        std::exit(2);
    }
    return text == "udp" ? SweepProtocol::Udp : SweepProtocol::Icmp;
}

void printAim(const LinuxNetwork &net, const Aim &aim)
{
    std::printf("icmpSocket=%s udpSocket=%s\n", net.descriptor(Channel::Icmp) >= 0 ? "open" : "none",
                net.descriptor(Channel::Udp) >= 0 ? "open" : "none");
    std::printf("ttl=%d icmpTtl=%s udpTtl=%s icmp=%d\n", aim.ttl, ttlOf(net.descriptor(Channel::Icmp)).c_str(),
                ttlOf(net.descriptor(Channel::Udp)).c_str(), aim.protocol == SweepProtocol::Icmp ? 1 : 0);
    std::printf("port=%d name=[%s] address=[%s]\n", aim.endpoint.port, aim.name.c_str(), aim.addressText.c_str());
}

int stateMode(int argc, char **argv)
{
    if (argc < 7)
        return 2;
    LinuxNetwork net;
    const Aim aim = aimProbes(net, resolveHost, argv[2], std::atoi(argv[3]), protocolOf(argv[4]));
    dropPrivileges();
    const ClassicRunFiles files = prepareClassicRun(aim.name, std::vector<std::string>(argv + 6, argv + argc),
                                                    std::atoi(argv[5]));
    printAim(net, aim);
    std::printf("resultsPath=[%s] sizes=", files.resultsPath.c_str());
    for (size_t i = 0; i < files.sizes.size(); ++i)
        std::printf("%s%d", i ? "," : "", files.sizes[i]);
    std::printf("\n");
    return 0;
}

int switchMode(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    LinuxNetwork net;
    std::printf("-- icmp ttl 4\n");
    printAim(net, aimProbes(net, resolveHost, argv[2], 4, SweepProtocol::Icmp));
    const int icmpSocket = net.descriptor(Channel::Icmp);
    std::printf("-- udp ttl 7\n");
    printAim(net, aimProbes(net, resolveHost, argv[2], 7, SweepProtocol::Udp));
    const int udpSocket = net.descriptor(Channel::Udp);
    std::printf("-- icmp ttl 3\n");
    printAim(net, aimProbes(net, resolveHost, argv[2], 3, SweepProtocol::Icmp));
    std::printf("-- icmp ttl 2 to 127.0.0.1\n");
    printAim(net, aimProbes(net, resolveHost, "127.0.0.1", 2, SweepProtocol::Icmp));
    std::printf("-- udp ttl 9\n");
    printAim(net, aimProbes(net, resolveHost, argv[2], 9, SweepProtocol::Udp));
    std::printf("same sockets: %s\n",
                net.descriptor(Channel::Udp) == udpSocket && net.descriptor(Channel::Icmp) == icmpSocket ? "yes" : "no");
    return 0;
}

void writeSeed(const std::string &path, const OutstandingProbe &probe, int pid, const uint8_t *datagram, int len)
{
    const int probeSeq = probe.number + 1;
    unsigned char prefix[9];
    prefix[0] = static_cast<unsigned char>(((pid >> 16) ? 2 : 0) | ((probeSeq >> 16) ? 4 : 0));
    prefix[1] = static_cast<unsigned char>(pid >> 8);
    prefix[2] = static_cast<unsigned char>(pid);
    prefix[3] = static_cast<unsigned char>(probeSeq >> 8);
    prefix[4] = static_cast<unsigned char>(probeSeq);
    std::memcpy(prefix + 5, &probe.destination, 4);
    if (FILE *file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(prefix, 1, sizeof prefix, file);
        std::fwrite(datagram, 1, static_cast<size_t>(len), file);
        std::fclose(file);
    }
}

int exchangeMode(int argc, char **argv)
{
    if (argc < 5)
        return 2;
    const int pid = static_cast<int>(getpid());
    LinuxNetwork net;
    const Aim aim = aimProbes(net, resolveHost, argv[2], std::atoi(argv[3]), protocolOf(argv[4]));
    const std::string corpus = argc > 5 ? argv[5] : "";
    ProbeBuffer probes;
    const auto identifier = static_cast<uint16_t>(pid & 0xFFFF);
    const int64_t sent = net.now();
    if (aim.protocol == SweepProtocol::Icmp) {
        probes.prepareEcho(identifier, 0);
        net.send(Channel::Icmp, probes.finishEcho(sent, 56), aim.endpoint, std::nullopt);
    } else {
        net.send(Channel::Udp, probes.udpPayload(sent, 56), aim.endpoint, std::nullopt);
    }
    OutstandingProbe probe{identifier, 0, aim.endpoint.address.asV4(), udpProbePort, sent};
    probe.kind = aim.protocol == SweepProtocol::Udp ? OutstandingKind::Udp : OutstandingKind::Echo;
    probe.udpSourcePort = aim.udpSourcePort;
    ClassicConsole console(false, pid);
    std::vector<uint8_t> buffer(probeBufferSize);
    const int64_t deadline = sent + 2 * counterTicksPerSecond;
    for (int datagram = 0; datagram < 20; ++datagram) {
        const Wait result = net.receive(buffer, deadline);
        if (result.status != WaitStatus::Received || result.arrival.length > static_cast<int>(buffer.size()))
            break;
        const Arrival &d = result.arrival;
        if (!corpus.empty())
            writeSeed(corpus + std::to_string(datagram), probe, pid, buffer.data(), d.length);
        const Reply reply = decodeReply({buffer.data(), static_cast<size_t>(d.length)}, probe);
        if (reply.verdict == ReplyVerdict::Fatal)
            console.fatalReply(reply);
        if (reply.verdict == ReplyVerdict::Rejected) {
            console.rejected(reply);
            std::printf("classified 0\n");
            continue;
        }
        const double rtt = elapsedSeconds(d.userTime, reply.sentAt, counterTicksPerSecond);
        std::printf("classified 1\n");
        std::printf("accepted: rttPositive=%d responder=[%s]\n", rtt > 0 ? 1 : 0, addressText(d.from).c_str());
        return 0;
    }
    std::printf("no answer\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    int status = 2;
    try {
        if (mode == "state")
            status = stateMode(argc, argv);
        else if (mode == "switch")
            status = switchMode(argc, argv);
        else if (mode == "exchange")
            status = exchangeMode(argc, argv);
    } catch (const RunFailure &failure) {
        endClassicRun(failure);  // as the command line ends a run
    }
    if (status == 2)
        std::fprintf(stderr, "usage: %s state|switch|exchange ...\n", argv[0]);
    return status;
}
