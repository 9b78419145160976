// Builds a real PathProber (raw ICMP socket, so it needs root) and prints what the
// namespace test compares: sockets and their TTLs, the target fields, the results
// path, and how real replies are classified. Every line is deterministic.
//
//   prober_check state DEST TTL PROTO ITERATIONS SIZE...
//   prober_check switch DEST
//   prober_check exchange DEST TTL PROTO [CORPUS_PREFIX]
//
// exchange sends one probe and classifies what arrives (at most 2 s, at most 20
// datagrams); with CORPUS_PREFIX every received datagram is also written as a seed
// for the classification fuzzer: a 9-byte parameter prefix, then the datagram.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/run_config.h"
#include "probe/path_prober.h"
#include "support/clock.h"

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

void printTarget(const PathProber &prober)
{
    std::printf("icmpSocket=%s udpSocket=%s\n", prober.icmpSocket >= 0 ? "open" : "none",
                prober.udpSocket >= 0 ? "open" : "none");
    std::printf("ttl=%d icmpTtl=%s udpTtl=%s useIcmp=%d\n", prober.ttl, ttlOf(prober.icmpSocket).c_str(),
                ttlOf(prober.udpSocket).c_str(), prober.useIcmp);
    std::printf("port=%d targetName=[%s] targetAddrText=[%s]\n", ntohs(prober.destAddr.sin_port), prober.targetName,
                prober.targetAddrText);
    std::printf("reportPath=[%s]\n", prober.reportPath);
}

int stateMode(int argc, char **argv)
{
    if (argc < 7)
        return 2;
    PathProber prober(argv[2], std::atoi(argv[3]), argv[4], std::atoi(argv[5]), argc - 6, argv + 6);
    printTarget(prober);
    std::printf("localHostName=[%s] iterations=%d sizes=", prober.localHostName, prober.iterations);
    for (int i = 0; i < prober.sizeCount; ++i)
        std::printf("%s%d", i ? "," : "", prober.sizes[i]);
    int marks = 0;
    int counts = 0;
    for (int r = 0; r < prober.sizeCount; ++r) {
        counts += prober.replyCount[r];
        for (int c = 0; c < prober.iterations; ++c)
            marks += prober.replyMark[r][c];
    }
    std::printf("\nprobeSeq=%d timeoutCount=%d marks=%d counts=%d responder=[%s]\n", prober.probeSeq,
                prober.timeoutCount, marks, counts, prober.lastResponderText());
    return 0;
}

int switchMode(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    static char size[] = "100";
    char *sizeTexts[] = {size};
    PathProber prober(argv[2], 4, "icmp", 1, 1, sizeTexts);
    std::printf("-- icmp ttl 4\n");
    printTarget(prober);
    prober.setTarget(argv[2], 7, "udp");
    const int udpSocket = prober.udpSocket;
    const int icmpSocket = prober.icmpSocket;
    std::printf("-- udp ttl 7\n");
    printTarget(prober);
    prober.setTarget(argv[2], 3, "icmp");
    std::printf("-- icmp ttl 3\n");
    printTarget(prober);
    prober.setTarget("127.0.0.1", 2, "icmp");
    std::printf("-- icmp ttl 2 to 127.0.0.1\n");
    printTarget(prober);
    prober.setTarget(argv[2], 9, "udp");
    std::printf("-- udp ttl 9\n");
    printTarget(prober);
    std::printf("same sockets: %s\n",
                prober.udpSocket == udpSocket && prober.icmpSocket == icmpSocket ? "yes" : "no");
    return 0;
}

void writeSeed(const std::string &path, const PathProber &prober, int len)
{
    unsigned char prefix[9];
    prefix[0] = static_cast<unsigned char>(((ownPid >> 16) ? 2 : 0) | ((prober.probeSeq >> 16) ? 4 : 0));
    prefix[1] = static_cast<unsigned char>(ownPid >> 8);
    prefix[2] = static_cast<unsigned char>(ownPid);
    prefix[3] = static_cast<unsigned char>(prober.probeSeq >> 8);
    prefix[4] = static_cast<unsigned char>(prober.probeSeq);
    std::memcpy(prefix + 5, &prober.destAddr.sin_addr.s_addr, 4);
    if (FILE *file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(prefix, 1, sizeof prefix, file);
        std::fwrite(prober.recvBuffer, 1, static_cast<size_t>(len), file);
        std::fclose(file);
    }
}

int exchangeMode(int argc, char **argv)
{
    if (argc < 5)
        return 2;
    static char size[] = "56";
    char *sizeTexts[] = {size};
    PathProber prober(argv[2], std::atoi(argv[3]), argv[4], 1, 1, sizeTexts);
    const std::string corpus = argc > 5 ? argv[5] : "";
    prober.dataLen = 56;
    prober.sizeIndex = 0;
    prober.iterIndex = 0;
    if (prober.useIcmp)
        prober.sendEchoProbe();
    else
        prober.sendUdpProbe();

    int64_t start = 0;
    readCounter(&start);
    for (int datagram = 0; datagram < 20; ++datagram) {
        int64_t now = 0;
        readCounter(&now);
        const double left = 2.0 - elapsedSeconds(now, start);
        if (left <= 0)
            break;
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(prober.icmpSocket, &readSet);
        timeval timeout{static_cast<time_t>(left), static_cast<suseconds_t>((left - static_cast<int>(left)) * 1e6)};
        if (select(prober.icmpSocket + 1, &readSet, nullptr, nullptr, &timeout) <= 0)
            break;
        socklen_t fromLength = sizeof prober.fromAddr;
        const ssize_t len = recvfrom(prober.icmpSocket, prober.recvBuffer, sizeof prober.recvBuffer, 0,
                                     reinterpret_cast<sockaddr *>(&prober.fromAddr), &fromLength);
        int64_t arrival = 0;
        readCounter(&arrival);
        if (len < 0)
            break;
        if (!corpus.empty())
            writeSeed(corpus + std::to_string(datagram), prober, static_cast<int>(len));
        const int result = prober.classifyReply(static_cast<int>(len), arrival);
        std::printf("classified %d\n", result);
        if (result == 1) {
            std::printf("accepted: replyMark=%d replyCount=%d rttPositive=%d responder=[%s]\n", prober.replyMark[0][0],
                        prober.replyCount[0], prober.appRtt[0][0] > 0 ? 1 : 0, prober.lastResponderText());
            return 0;
        }
    }
    std::printf("no answer\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    ownPid = static_cast<int>(getpid());
    counterFrequency = 1000000000;  // the counter counts nanoseconds
    const std::string mode = argc > 1 ? argv[1] : "";
    int status = 2;
    if (mode == "state")
        status = stateMode(argc, argv);
    else if (mode == "switch")
        status = switchMode(argc, argv);
    else if (mode == "exchange")
        status = exchangeMode(argc, argv);
    if (status == 2)
        std::fprintf(stderr, "usage: %s state|switch|exchange ...\n", argv[0]);
    return status;
}
