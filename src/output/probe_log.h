// The probe log of an accurate-mode run (--save): every probe as a CSV row, after a header
// of comment lines that holds what the floors and links are computed from besides the
// probes (the destination, the path as probed, the settings), so that the run can be
// analysed again (hoprate-report --analyse). Read back by ProbeLogReader
// (probe_log_reader.h); the layout is the man page's.
//
//   # hoprate --precise probe log: destination NAME (ADDRESS), path MTU N
//   # format 2
//   # destination NAME                  (as printed: \\ and \xNN for other bytes)
//   # address ADDRESS / family ipv4|ipv6 / source ADDRESS|-
//   # destination_reached 0|1 / path_mtu N / kernel_timestamps 0|1 / probes_sent N / wall_s S
//   # complete 0|1 / started_unix_ms MS
//   # setting NAME VALUE                (every setting; numbers to 17 digits)
//   # hop N ADDRESS|* METHOD PROTOCOL expects=KIND,...|- skipped=0|1 rate_limited=0|1 responders=ADDRESS/N,...|-
//   # name N NAME                       (a reported hop's host name, printed as the destination)
//   probe,phase,hop,...                 (the column names)
//   0,setup,0,...                       (one row per probe, in sending order)
//   # end: N probes
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "model/precise_result.h"
#include "model/precise_settings.h"

namespace hoprate {

constexpr int probeLogFormat = 2;

// What a log may hold at most: hops of a path (a TTL), probes (a default run sends a few
// thousand), responders named at one hop, bytes of a host name, and nanoseconds in a time
// (11 days).
constexpr int maxLoggedHops = 255;
constexpr int maxLoggedProbes = 1000000;
constexpr int maxLoggedResponders = 1024;
constexpr size_t maxLoggedNameBytes = 1024;
constexpr int64_t maxLoggedNanoseconds = 1000000000000000;

// The columns of a probe's row, in order.
constexpr const char *probeLogColumns =
    "probe,phase,hop,to,ttl,size,sent_ns,answered,rtt_ns,stamps,reply,reply_length,responder,"
    "send_stamp_delay_ns,receive_stamp_delay_ns,protocol,reply_ttl,pair_first,late_send_stamp,arrived_ns,"
    "send_error,sequence,cookie,next_hop_mtu";
constexpr int probeLogColumnCount = 24;

// A run as its log holds it. Times of the probes count from the first probe's send.
struct ProbeLog {
    std::string destination;  // as given on the command line
    IpAddress address;
    IpAddress source;  // unspecified: not known
    bool destinationReached = true;
    int pathMtu = 0;
    bool kernelStamps = false;
    int probesSent = 0;
    double wallSeconds = 0;
    bool complete = true;
    int64_t startedUnixMs = 0;
    PreciseSettings settings;
    std::vector<HopRecord> path;
    std::map<int, std::string> names;  // host names of hops, by number
    std::vector<ProbeRecord> probes;
};

// Every setting by its name in the log, with the range a reader accepts (for whole
// numbers and fractions; flags, the seed and the protocol have their own): the writer and
// the reader both go through this list, so neither can miss a setting the other has.
template <typename Settings, typename Visit> void forEachLoggedSetting(Settings &s, Visit &&visit)
{
    visit("max_hops", s.maxHops, 1, 255);
    visit("budget", s.budget, 1, 100000000);
    visit("target", s.target, 0, 1);
    visit("probe_sizes", s.probeSizes, 3, 1000);
    visit("quantile", s.quantile, 0, 1);
    visit("noisy", s.noisy, 0, 1);
    visit("noisy_budget", s.noisyBudget, 1, 1000);
    visit("late_stamp", s.lateStamp, 0, 1);
    visit("minimum_rounds", s.minimumRounds, 0, 1000000);
    visit("minimum_share", s.minimumShare, 0, 1);
    visit("rate", s.rate, 0, 1e9);
    visit("gap_factor", s.gapFactor, 0, 1000);
    visit("minimum_gap", s.minimumGap, 0, 100);
    visit("systematic", s.systematic, 0, 1);
    visit("relative_systematic", s.relativeSystematic, 0, 1);
    visit("timing_floor", s.timingFloor, 0, 1);
    visit("seed", s.seed, 0, 0);
    visit("ttl_limited", s.ttlLimited, 0, 1);
    visit("kernel_stamps", s.kernelStamps, 0, 1);
    visit("pairs", s.pairs, 0, 1000);
    visit("protocol", s.protocol, 0, 0);
    visit("port", s.port, 0, 65535);
    visit("first_hop", s.firstHop, 1, 255);
    visit("directions", s.directions, 0, 1);  // optional: logs written before it ran with one figure
    visit("insist_directions", s.insistDirections, 0, 1);  // optional: logs written before it did not insist
}

// The reply kinds a hop is measured by, as its hop line names them ("-": none).
std::string expectedReplies(const PathHop &hop, Family family);

// The whole log of a run, with the settings it ran with (effective ones, result.settings).
std::string formatProbeLog(const PreciseResult &result, const std::string &destination,
                           const PreciseSettings &settings);

}  // namespace hoprate
