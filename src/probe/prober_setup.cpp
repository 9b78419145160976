#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "probe/path_prober.h"
#include "support/diagnostics.h"
#include "support/privileges.h"

namespace {

bool beginsWithDigit(const char *text)
{
    return text[0] >= '0' && text[0] <= '9';
}

void *allocateOrDie(size_t count, size_t elementSize)
{
    if (count == 0)
        count = 1;  // a valid, unique pointer even for an empty list
    void *memory = std::calloc(count, elementSize);
    if (memory == nullptr)
        fatalError("out of memory\n");
    return memory;
}

template <typename T>
T **newMatrix(int rows, int columns)
{
    const size_t rowCount = rows > 0 ? static_cast<size_t>(rows) : 0;
    const size_t columnCount = columns > 0 ? static_cast<size_t>(columns) : 0;
    if (columnCount != 0 && rowCount > SIZE_MAX / sizeof(T) / columnCount)
        fatalError("out of memory\n");
    auto **table = static_cast<T **>(allocateOrDie(rowCount, sizeof(T *)));
    auto *block = static_cast<T *>(allocateOrDie(rowCount * columnCount, sizeof(T)));
    for (size_t r = 0; r < rowCount; ++r)
        table[r] = block + r * columnCount;
    return table;
}

}  // namespace

double **newDoubleMatrix(int rows, int columns)
{
    return newMatrix<double>(rows, columns);
}

int **newIntMatrix(int rows, int columns)
{
    return newMatrix<int>(rows, columns);
}

in_addr_t resolveHost(const char *destination)
{
    if (beginsWithDigit(destination)) {
        // A malformed dotted quad must not become the broadcast address.
        in_addr address{};
        if (inet_aton(destination, &address) == 0 || address.s_addr == INADDR_NONE)
            fatalError("unknown host: %s\n", destination);
        return address.s_addr;
    }
    const hostent *host = gethostbyname(destination);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
        host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr)
        fatalError("unknown host: %s\n", destination);
    in_addr_t address;
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
    return address;
}

PathProber::PathProber(int probesPerSize, int numberOfSizes, char **sizeTexts)
{
    std::memset(sendBuffer, 'A', sizeof sendBuffer);
    std::memset(recvBuffer, 0, sizeof recvBuffer);
    destAddr.sin_family = AF_INET;
    initMeasurementState(probesPerSize, numberOfSizes, sizeTexts);
}

PathProber::PathProber(const char *destination, int ttlValue, const char *protocol,
                       int probesPerSize, int numberOfSizes, char **sizeTexts)
    : ttl(ttlValue)
{
    std::memset(sendBuffer, 'A', sizeof sendBuffer);
    std::memset(recvBuffer, 0, sizeof recvBuffer);

    setTarget(destination, ttlValue, protocol);
    dropPrivileges();  // the raw socket is open: nothing later needs privileges

    if (gethostname(localHostName, sizeof localHostName) != 0)
        fatalSystemError("gethostname");
    localHostName[sizeof localHostName - 1] = '\0';
    const hostent *self = gethostbyname(localHostName);
    if (self == nullptr || self->h_addr_list == nullptr || self->h_addr_list[0] == nullptr)
        fatalSystemError("gethostbyname");
    if (char *dot = std::strchr(localHostName, '.'))
        *dot = '\0';

    const int pathLength = std::snprintf(reportPath, sizeof reportPath, "data/rtt_%s-%s.txt",
                                         localHostName, targetName);
    if (pathLength < 0 || pathLength >= static_cast<int>(sizeof reportPath))
        fatalError("results path too long (at most %d characters): data/rtt_%s-%s.txt\n",
                   static_cast<int>(sizeof reportPath) - 1, localHostName, targetName);

    initMeasurementState(probesPerSize, numberOfSizes, sizeTexts);
}

void PathProber::initMeasurementState(int probesPerSize, int numberOfSizes, char **sizeTexts)
{
    sizeCount = numberOfSizes > 0 ? numberOfSizes : 0;
    sizes = static_cast<int *>(allocateOrDie(static_cast<size_t>(sizeCount), sizeof(int)));
    for (int i = 0; i < sizeCount; ++i) {
        // Sizes that cannot be sent from the probe buffer as an echo message are refused.
        if (std::sscanf(sizeTexts[i], "%d", &sizes[i]) != 1 || sizes[i] < 0 || sizes[i] > maxProbeSize)
            fatalError("illegal datalen!");
    }
    if (probesPerSize < 0)
        fatalError("illegal number of probes per size: %d\n", probesPerSize);
    iterations = probesPerSize;

    kernelRtt = newDoubleMatrix(sizeCount, iterations);
    appRtt = newDoubleMatrix(sizeCount, iterations);
    overheadRtt = newDoubleMatrix(sizeCount, iterations);
    kernelMinMark = newIntMatrix(sizeCount, iterations);
    replyMark = newIntMatrix(sizeCount, iterations);
    overheadMinMark = newIntMatrix(sizeCount, iterations);

    const auto count = static_cast<size_t>(sizeCount);
    kernelAvg = static_cast<double *>(allocateOrDie(count, sizeof(double)));
    appAvg = static_cast<double *>(allocateOrDie(count, sizeof(double)));
    overheadAvg = static_cast<double *>(allocateOrDie(count, sizeof(double)));
    minRtt = static_cast<double *>(allocateOrDie(count, sizeof(double)));
    replyCount = static_cast<int *>(allocateOrDie(count, sizeof(int)));

    for (int r = 0; r < sizeCount; ++r) {
        for (int c = 0; c < iterations; ++c)
            replyMark[r][c] = 0;
        replyCount[r] = 0;
    }
    timeoutCount = 0;
}

void PathProber::setTarget(const char *destination, int ttlValue, const char *protocol)
{
    ttl = ttlValue;
    if (std::strcmp(protocol, "icmp") == 0) {
        useIcmp = 1;
    } else if (std::strcmp(protocol, "udp") == 0) {
        useIcmp = 0;
        if (udpSocket == -1)
            udpSocket = socket(AF_INET, SOCK_DGRAM, 0);
        if (udpSocket < 0)
            fatalSystemError("socket");
        if (setsockopt(udpSocket, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) < 0)
            fatalSystemError("setsockopt, sd2");
    } else {
        fatalError("proto must be icmp or udp.\n");
    }

    if (icmpSocket == -1)
        icmpSocket = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (icmpSocket < 0)
        fatalSystemError("socket: icmp");
    if (setsockopt(icmpSocket, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) < 0)
        fatalSystemError("setsockopt, sd");

    if (!beginsWithDigit(destination) && std::strlen(destination) >= sizeof targetName)
        fatalError("destination too long (at most %d characters): %s\n",
                   static_cast<int>(sizeof targetName) - 1, destination);

    std::memset(&destAddr, 0, sizeof destAddr);
    destAddr.sin_family = AF_INET;
    destAddr.sin_port = useIcmp ? 0 : htons(udpProbePort);
    destAddr.sin_addr.s_addr = resolveHost(destination);

    std::snprintf(targetAddrText, sizeof targetAddrText, "%s", inet_ntoa(destAddr.sin_addr));
    if (beginsWithDigit(destination))
        targetName[0] = '\0';
    else
        std::snprintf(targetName, sizeof targetName, "%s", destination);
}

const char *PathProber::lastResponderText()
{
    if (!responderKnown)
        return "";
    in_addr address{};
    address.s_addr = lastResponder;
    return inet_ntoa(address);
}
