// The probing engine: sockets, target, probe and receive buffers, probe sizes and
// every measurement array of a sweep. One prober exists per run; nothing of it is
// released before the process ends.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>

constexpr int probeBufferSize = 15000;  // sendBuffer and recvBuffer
constexpr int udpProbePort = 20000;     // destination port of UDP probes
constexpr int maxProbeSize = probeBufferSize - 8;  // an echo probe is size + 8 bytes

class PathProber {
public:
    // Aims the prober (setTarget), checks the local host name, fixes the results path,
    // parses the sizes and allocates every measurement array. Ends the run on failure.
    PathProber(const char *destination, int ttlValue, const char *protocol,
               int probesPerSize, int numberOfSizes, char **sizeTexts);
    // A prober without sockets, target or results path: the measurement state only.
    // Used to build and parse packets and to analyse offline, without privileges.
    PathProber(int probesPerSize, int numberOfSizes, char **sizeTexts);

    // (Re)aims the prober: TTL, protocol ("icmp" or "udp"), destination.
    void setTarget(const char *destination, int ttlValue, const char *protocol);
    // Dotted-quad text of lastResponder (inet_ntoa's static buffer: copy it at once).
    // An empty text while no reply has been accepted yet.
    const char *lastResponderText();

    // Probe packets.
    void sendEchoProbe();
    void sendUdpProbe();

    // Measurement sweep.
    double runSweep(double &relErrOut);
    void measureSize(int size);

    // Reply classification: 1 when recvBuffer[0..len) answers the outstanding probe.
    int classifyReply(int len, int64_t arrivalStamp);

    // Analysis.
    void analyze();
    void fitLine();
    void writeResults();

    int icmpSocket = -1;
    int udpSocket = -1;
    sockaddr_in destAddr{};
    sockaddr_in fromAddr{};
    in_addr_t lastResponder = 0;
    int addrLen = 16;
    unsigned char sendBuffer[probeBufferSize];
    unsigned char recvBuffer[probeBufferSize];
    int dataLen = 0;
    int probeSeq = 0;
    int ttl = 0;
    int64_t sendStamp = 0;
    int useIcmp = 1;
    int firstReport = 1;
    char targetAddrText[32]{};
    char targetName[64]{};
    char localHostName[64]{};
    char reportPath[64]{};
    int *sizes = nullptr;
    int sizeCount = 0;
    double **kernelRtt = nullptr;
    double **appRtt = nullptr;
    double **overheadRtt = nullptr;
    int **kernelMinMark = nullptr;
    int **replyMark = nullptr;
    int **overheadMinMark = nullptr;
    int *replyCount = nullptr;
    int iterations = 0;
    double *kernelAvg = nullptr;
    double *appAvg = nullptr;
    double *overheadAvg = nullptr;
    double *minRtt = nullptr;
    int sizeIndex = 0;
    int iterIndex = 0;
    int timeoutCount = 0;
    double slope = 0;
    double intercept = 0;
    double slopeRelErr = 0;
    double interceptRelErr = 0;
    // 1 once a reply has been accepted, so that lastResponder names a real host.
    int responderKnown = 0;

private:
    void initMeasurementState(int probesPerSize, int numberOfSizes, char **sizeTexts);
};

// Address of a destination text: dotted-quad conversion for a text that begins with a
// digit, a name look-up otherwise. Ends the run with "unknown host: %s\n" on failure.
in_addr_t resolveHost(const char *destination);
// A rows x columns matrix: a table of row pointers over one contiguous block.
double **newDoubleMatrix(int rows, int columns);
int **newIntMatrix(int rows, int columns);

// RFC 1071 checksum of length bytes, words read in host order.
uint16_t internetChecksum(const void *data, int length);

// The select() time-out for a probe time-out in seconds.
void splitTimeout(double seconds, int &wholeSeconds, int &microseconds);

// Analysis helpers.
void updateRowMinimum(int &position, double **times, int row, int column, int **marks);
void writeValueRow(FILE *stream, const double *values, int count);
void writeMarkedRow(FILE *stream, double **matrix, int **marks, int rows, int columns);
