// The accurate mode's output and command line: rates at every unit boundary, the table
// and the JSON document of a hand-built run with one hop of every kind, non-finite
// figures as null, the probe log (header, path, settings, rows), the progress line, and every option with its refusals.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "cli/precise_main.h"
#include "cli/targets.h"
#include "output/precise_report.h"
#include "output/probe_log.h"
#include "precise_samples.h"
#include "run_in_child.h"

using namespace hoprate;

namespace {

using nlohmann::json;

TEST(FormatBitsPerSecond, FiveDigitsInTheUnitOfTheRoundedValue)
{
    const std::pair<double, const char *> cases[] = {
        {0, "0.0000 b/s"},
        {1, "1.0000 b/s"},
        {9.99994, "9.9999 b/s"},
        {9.99996, "10.000 b/s"},
        {12.3456, "12.346 b/s"},
        {99.99996, "100.00 b/s"},
        {999.99, "999.99 b/s"},
        {999.996, "1.0000 kb/s"},
        {1000, "1.0000 kb/s"},
        {123456, "123.46 kb/s"},
        {999994, "999.99 kb/s"},
        {999999, "1.0000 Mb/s"},
        {9998700, "9.9987 Mb/s"},
        {56.7e6, "56.700 Mb/s"},
        {2.5e9, "2.5000 Gb/s"},
        {999.994e9, "999.99 Gb/s"},
        {999.996e9, "1.0000 Tb/s"},
        {40e12, "40.000 Tb/s"},
    };
    for (const auto &[bps, text] : cases)
        EXPECT_EQ(formatBitsPerSecond(bps), text) << bps;
}

TEST(PreciseTable, EveryKindOfHop)
{
    EXPECT_EQ(
        formatPreciseTable(sixHopSample(), "example.net"),
        "hoprate --precise example.net (192.0.2.80): 6 hops, path MTU 1500, 2712 probes in 41.3 s, kernel time stamps\n"
        "hop  address          capacity        90 % interval                return          min RTT     probes  note\n"
        "  1  10.0.1.1         100.00 Mb/s     99.500 Mb/s - 100.50 Mb/s    =                 0.512 ms    300/298\n"
        "  2  *                -               -                            -                        -       40/0  "
        "silent: no time-exceeded message at this TTL\n"
        "  3  10.0.3.1         10.000 Mb/s     9.8765 Mb/s - 10.123 Mb/s    -                12.250 ms    212/180  "
        "links 2-3 in series (silent hop between); measured with TTL-limited probes; "
        "toward the destination only: the way back not told apart; its address is reached by another, longer path: "
        "measured by its ICMP errors alone; rate-limited: its ICMP errors were paced\n"
        "  4  10.0.4.1         \u2265 2.5000 Gb/s   -                            =                12.900 ms    300/300 "
        " "
        "lower bound only: too fast to resolve from this host\n"
        "  5  10.0.5.1         5.0000 Mb/s     4.9500 Mb/s - 5.0500 Mb/s    800.00 kb/s      25.000 ms      96/96  "
        "asymmetric; probable hidden store-and-forward device: the slope alone reads 1.2000 Mb/s, packet pairs "
        "5.0000 Mb/s\n"
        "  6  192.0.2.80       -               -                            -               130.500 ms       88/3  "
        "also answered by 198.51.100.7 (12); also answered by 198.51.100.8 (1); no estimate: too few replies\n");

    // With one figure for both directions asked for, no return column.
    PreciseResult off = sixHopSample();
    off.settings.directions = false;
    const std::string table = formatPreciseTable(off, "example.net");
    EXPECT_EQ(table.substr(table.find('\n') + 1, table.find("300/298") - table.find('\n') + 7),
              "hop  address          capacity        90 % interval                min RTT     probes  note\n"
              "  1  10.0.1.1         100.00 Mb/s     99.500 Mb/s - 100.50 Mb/s      0.512 ms    300/298\n");

    const std::string one = formatPreciseTable(nonFiniteSample(), "x");
    EXPECT_EQ(one.substr(0, one.find('\n')),
              "hoprate --precise x (203.0.113.5): 1 hop, path MTU 576, 0 probes in 0.0 s, program time stamps");
}

TEST(PreciseJson, FieldsValuesAndNulls)
{
    const std::string text = formatPreciseJson(sixHopSample(), "example.net");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const json doc = json::parse(text);
    EXPECT_EQ(doc["destination"], "example.net");
    EXPECT_EQ(doc["address"], "192.0.2.80");
    EXPECT_EQ(doc["probes_sent"], 2712);
    EXPECT_EQ(doc["wall_s"], 41.257);  // milliseconds
    EXPECT_EQ(doc["path_mtu"], 1500);
    EXPECT_EQ(doc["kernel_timestamps"], true);
    EXPECT_EQ(doc["family"], "ipv4");
    EXPECT_TRUE(doc["source"].is_null());
    EXPECT_EQ(doc["destination_reached"], true);
    ASSERT_EQ(doc["hops"].size(), 6u);

    const json &h1 = doc["hops"][0];
    std::vector<std::string> keys;
    for (const auto &item : h1.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"address",
                                              "asymmetric",
                                              "capacity_bps",
                                              "ci90_bps",
                                              "directions",
                                              "hidden_device",
                                              "hop",
                                              "loss",
                                              "lower_bound",
                                              "merged_from",
                                              "method",
                                              "min_rtt_ms",
                                              "name",
                                              "notes",
                                              "other_addresses",
                                              "pair_bps",
                                              "path_consistent",
                                              "probes",
                                              "protocol",
                                              "rate_limited",
                                              "replies",
                                              "return_capacity_bps",
                                              "return_ci90_bps"}));
    EXPECT_EQ(h1["directions"], "combined");
    EXPECT_TRUE(h1["return_capacity_bps"].is_null());
    EXPECT_TRUE(h1["return_ci90_bps"].is_null());
    EXPECT_EQ(h1["path_consistent"], true);
    EXPECT_TRUE(h1["name"].is_null());
    EXPECT_EQ(h1["protocol"], "icmp");
    EXPECT_EQ(h1["hop"], 1);
    EXPECT_EQ(h1["address"], "10.0.1.1");
    EXPECT_EQ(h1["capacity_bps"], 100e6);
    EXPECT_EQ(h1["ci90_bps"], json::array({99.5e6, 100.5e6}));
    EXPECT_EQ(h1["lower_bound"], false);
    EXPECT_EQ(h1["probes"], 300);
    EXPECT_EQ(h1["replies"], 298);
    EXPECT_NEAR(h1["loss"].get<double>(), 2.0 / 300, 1e-12);
    EXPECT_EQ(h1["min_rtt_ms"], 0.512);
    EXPECT_EQ(h1["method"], "echo-router");
    EXPECT_TRUE(h1["merged_from"].is_null());
    EXPECT_TRUE(h1["pair_bps"].is_null());
    EXPECT_EQ(h1["other_addresses"], json::array());
    EXPECT_EQ(h1["notes"], json::array());

    const json &silent = doc["hops"][1];
    for (const char *field : {"address", "capacity_bps", "ci90_bps", "min_rtt_ms", "merged_from", "pair_bps"})
        EXPECT_TRUE(silent[field].is_null()) << field;
    EXPECT_EQ(silent["loss"], 1.0);
    EXPECT_EQ(silent["method"], "silent");
    EXPECT_EQ(silent["notes"], json::array({"silent: no time-exceeded message at this TTL"}));

    const json &merged = doc["hops"][2];
    EXPECT_EQ(merged["merged_from"], 2);
    EXPECT_EQ(merged["method"], "ttl-limited");
    EXPECT_EQ(merged["rate_limited"], true);
    EXPECT_EQ(merged["ci90_bps"], json::array({9.87654e6, 10.1234e6}));
    EXPECT_EQ(merged["notes"].size(), 5u);
    EXPECT_EQ(merged["path_consistent"], false);

    const json &bound = doc["hops"][3];
    EXPECT_EQ(bound["capacity_bps"], 2.5e9);
    EXPECT_TRUE(bound["ci90_bps"].is_null());
    EXPECT_EQ(bound["lower_bound"], true);
    EXPECT_EQ(bound["loss"], 0.0);

    const json &hidden = doc["hops"][4];
    EXPECT_EQ(hidden["hidden_device"], true);
    EXPECT_EQ(hidden["pair_bps"], 5e6);
    EXPECT_EQ(hidden["capacity_bps"], 5e6);
    EXPECT_EQ(hidden["directions"], "separated");
    EXPECT_EQ(hidden["return_capacity_bps"], 800e3);
    EXPECT_EQ(hidden["return_ci90_bps"], json::array({790e3, 810e3}));
    EXPECT_EQ(hidden["asymmetric"], true);
    EXPECT_EQ(doc["hops"][2]["directions"], "forward");

    const json &destination = doc["hops"][5];
    EXPECT_EQ(destination["method"], "destination");
    EXPECT_TRUE(destination["capacity_bps"].is_null());
    EXPECT_EQ(destination["other_addresses"],
              json::parse(R"([{"address": "198.51.100.7", "replies": 12}, {"address": "198.51.100.8", "replies": 1}])"));
    EXPECT_EQ(destination["notes"].back(), "no estimate: too few replies");
}

TEST(PreciseJson, NonFiniteFiguresAreNullNeverBare)
{
    const std::string text = formatPreciseJson(nonFiniteSample(), "x");
    std::string lower;
    for (char c : text)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(lower.find("nan"), std::string::npos) << text;
    EXPECT_EQ(lower.find("inf"), std::string::npos) << text;
    const json doc = json::parse(text);  // strict: a bare NaN would not parse
    const json &h = doc["hops"][0];
    EXPECT_TRUE(h["capacity_bps"].is_null());
    EXPECT_TRUE(h["ci90_bps"].is_null());
    EXPECT_EQ(h["lower_bound"], false);
    EXPECT_TRUE(h["min_rtt_ms"].is_null());
    EXPECT_EQ(h["loss"], 0.0);  // no probes: nothing lost
    EXPECT_EQ(doc["wall_s"], 0.0);
}

TEST(ProbeLog, HeaderPathSettingsAndLines)
{
    PreciseResult r = sixHopSample();
    r.source = sampleAddress(192, 0, 2, 1);
    PathHop router{1, HopMethod::EchoRouter, ProbeProtocol::Icmp, sampleAddress(10, 0, 1, 1), {}};
    router.responders = {{sampleAddress(10, 0, 1, 1), 3}};
    PathHop limited{3, HopMethod::TtlLimited, ProbeProtocol::Udp, sampleAddress(10, 0, 3, 1), {}};
    limited.responders = {{sampleAddress(10, 0, 3, 1), 2}, {sampleAddress(10, 0, 3, 9), 1}};
    const PathHop destination{4, HopMethod::Destination, ProbeProtocol::Tcp, r.destination, {}};
    r.path = {{router, true, false},
              {PathHop{2, HopMethod::Silent, ProbeProtocol::Icmp, {}, {}}, false, false},
              {limited, false, true},
              {destination, false, false}};
    ProbeRecord setup;
    setup.hop = 1;
    setup.to = r.destination;
    setup.ttl = 1;
    setup.size = 36;
    setup.measurement = false;
    setup.sentAt = 5'000'000'000;
    ProbeRecord timed;
    timed.hop = 3;
    timed.to = r.destination;
    timed.ttl = 3;
    timed.size = 1500;
    timed.sequence = 4711;
    timed.sentAt = setup.sentAt + 1'234'567;
    timed.sentKernel = timed.sentAt + 2100;
    timed.lateSendStamp = true;
    timed.answered = true;
    timed.arrivedAt = timed.sentAt + 12'300'000;
    timed.arrivedKernel = timed.arrivedAt - 35000;
    timed.rttNs = 12'250'000;
    timed.kernelStamps = true;
    timed.kind = ReplyKind::TimeExceeded;
    timed.replyLength = 576;
    timed.responder = sampleAddress(10, 0, 3, 1);
    timed.replyTtl = 61;
    timed.cookieSeen = true;
    ProbeRecord echo = timed;  // the second of a pair
    echo.sentKernel.reset();
    echo.arrivedKernel.reset();
    echo.kernelStamps = false;
    echo.kind = ReplyKind::EchoReply;
    echo.sentAt = setup.sentAt + 2'000'000;
    echo.pairFirst = 1;
    ProbeRecord unreachable = echo;
    unreachable.kind = ReplyKind::Unreachable;
    unreachable.pairFirst = -1;
    ProbeRecord fragmentation = unreachable;
    fragmentation.kind = ReplyKind::TooBig;
    fragmentation.nextHopMtu = 1400;
    ProbeRecord failed = setup;
    failed.measurement = true;
    failed.hop = 3;
    failed.ttl = 3;
    failed.size = 1500;
    failed.sentAt = setup.sentAt + 3'000'000;
    failed.sendError = 90;
    failed.sequence = 9;
    r.probes = {setup, timed, echo, unreachable, fragmentation, failed};
    PreciseSettings settings;
    settings.seed = 99;
    settings.firstHop = 3;
    settings.protocol = ProtocolChoice::Tcp;
    settings.port = 443;
    settings.budget = 150;

    EXPECT_EQ(
        formatProbeLog(r, "example.net", settings),
        "# hoprate --precise probe log: destination example.net (192.0.2.80), path MTU 1500\n"
        "# format 2\n"
        "# destination example.net\n"
        "# address 192.0.2.80\n"
        "# family ipv4\n"
        "# source 192.0.2.1\n"
        "# destination_reached 1\n"
        "# path_mtu 1500\n"
        "# kernel_timestamps 1\n"
        "# probes_sent 2712\n"
        "# wall_s 41.256700000000002\n"
        "# complete 1\n"
        "# started_unix_ms 0\n"
        "# setting max_hops 30\n"
        "# setting budget 150\n"
        "# setting target 0.00040000000000000002\n"
        "# setting probe_sizes 16\n"
        "# setting quantile 0.10000000000000001\n"
        "# setting noisy 5.0000000000000004e-06\n"
        "# setting noisy_budget 3\n"
        "# setting late_stamp 2.5000000000000001e-05\n"
        "# setting minimum_rounds 4\n"
        "# setting minimum_share 0.5\n"
        "# setting rate 0\n"
        "# setting gap_factor 1.2\n"
        "# setting minimum_gap 0.00020000000000000001\n"
        "# setting systematic 1.5e-09\n"
        "# setting relative_systematic 0.001\n"
        "# setting timing_floor 2.9999999999999999e-07\n"
        "# setting seed 99\n"
        "# setting ttl_limited 0\n"
        "# setting kernel_stamps 1\n"
        "# setting pairs 4\n"
        "# setting protocol tcp\n"
        "# setting port 443\n"
        "# setting first_hop 3\n"
        "# setting directions 1\n"
        "# setting insist_directions 0\n"
        "# hop 1 10.0.1.1 echo-router icmp expects=echo-reply skipped=1 rate_limited=0 responders=10.0.1.1/3\n"
        "# hop 2 * silent icmp expects=- skipped=0 rate_limited=0 responders=-\n"
        "# hop 3 10.0.3.1 ttl-limited udp expects=time-exceeded skipped=0 rate_limited=1 "
        "responders=10.0.3.1/2,10.0.3.9/1\n"
        "# hop 4 192.0.2.80 destination tcp expects=tcp-reset,tcp-syn-ack skipped=0 rate_limited=0 responders=-\n"
        "probe,phase,hop,to,ttl,size,sent_ns,answered,rtt_ns,stamps,reply,reply_length,responder,"
        "send_stamp_delay_ns,receive_stamp_delay_ns,protocol,reply_ttl,pair_first,late_send_stamp,arrived_ns,"
        "send_error,sequence,cookie,next_hop_mtu\n"
        "0,setup,1,192.0.2.80,1,36,0,0,,,,,,,,icmp,,,0,,0,0,,\n"
        "1,measure,3,192.0.2.80,3,1500,1234567,1,12250000,kernel,time-exceeded,576,10.0.3.1,2100,35000,icmp,61,,1,"
        "13534567,0,4711,1,0\n"
        "2,measure,3,192.0.2.80,3,1500,2000000,1,12250000,program,echo-reply,576,10.0.3.1,,,icmp,61,1,1,13534567,0,"
        "4711,1,0\n"
        "3,measure,3,192.0.2.80,3,1500,2000000,1,12250000,program,unreachable,576,10.0.3.1,,,icmp,61,,1,13534567,0,"
        "4711,1,0\n"
        "4,measure,3,192.0.2.80,3,1500,2000000,1,12250000,program,fragmentation-needed,576,10.0.3.1,,,icmp,61,,1,"
        "13534567,0,4711,1,1400\n"
        "5,measure,3,192.0.2.80,3,1500,3000000,0,,,,,,,,icmp,,,0,,90,9,,\n"
        "# end: 6 probes\n");
}

TEST(PreciseWriters, AnyByteOfTheDestinationTextStaysInsideItsField)
{
    // A name can hold any byte: none may end a line, break the JSON or abort the writer.
    PreciseResult r = sixHopSample();
    r.probes.resize(1);
    for (const std::string &text : std::vector<std::string>{"10.99.0.2 \xff", "evil\n  9  10.6.6.6  1.0000 Tb/s", "a\r\x1b[2Jb"}) {
        SCOPED_TRACE(text);
        const std::string table = formatPreciseTable(r, text);
        EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 8);
        EXPECT_EQ(table.find_first_of("\r\x1b"), std::string::npos);
        const std::string log = formatProbeLog(r, text, PreciseSettings{});
        const std::string plain = formatProbeLog(r, "x", PreciseSettings{});
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), std::count(plain.begin(), plain.end(), '\n'));
        const json doc = json::parse(formatPreciseJson(r, text));
        EXPECT_TRUE(doc["destination"].is_string());
    }
    const std::string log = formatProbeLog(r, "a\nb\xff\\", PreciseSettings{});
    EXPECT_EQ(log.substr(0, 56), "# hoprate --precise probe log: destination a\\x0ab\\xff\\\\ ");
    EXPECT_NE(log.find("\n# destination a\\x0ab\\xff\\\\\n"), std::string::npos);
}

TEST(PreciseWriters, HostNamesBesideTheAddresses)
{
    // The address column widens for the longest name; hops without one are as before.
    PreciseResult r = sixHopSample();
    r.hops[0].name = "r1.example";
    r.hops[5].name = "www.example.net";
    const std::string table = formatPreciseTable(r, "example.net");
    const std::string rows = table.substr(table.find('\n') + 1);
    EXPECT_EQ(
        rows.substr(0, rows.find("  2  ")),
        "hop  address                       capacity        90 % interval                return          min RTT     "
        "probes  note\n"
        "  1  10.0.1.1 (r1.example)         100.00 Mb/s     99.500 Mb/s - 100.50 Mb/s    =                 0.512 ms    "
        "300/298\n");
    EXPECT_NE(rows.find("\n  2  *                             -               -     "), std::string::npos) << rows;
    EXPECT_NE(rows.find("\n  6  192.0.2.80 (www.example.net)  -               -     "), std::string::npos) << rows;

    const json doc = json::parse(formatPreciseJson(r, "example.net"));
    EXPECT_EQ(doc["hops"][0]["name"], "r1.example");
    EXPECT_TRUE(doc["hops"][1]["name"].is_null());
    EXPECT_EQ(doc["hops"][5]["name"], "www.example.net");
}

TEST(PreciseWriters, AnyByteOfAHostNameStaysInsideItsCell)
{
    // A name from DNS or a hosts file can hold any byte but NUL. The table shows it on
    // the hop's own line, escaped where it could end a line or move the cursor, cut when
    // long; the JSON document has it whole, as valid JSON and UTF-8.
    const std::string a37(37, 'a');
    const struct {
        std::string name, shown, inJson;
    } cases[] = {
        {"r1.example", "r1.example", "r1.example"},
        {"evil\n  9  10.6.6.6", "evil\\x0a  9  10.6.6.6", "evil\n  9  10.6.6.6"},
        {"a,\"b\";c", "a,\"b\";c", "a,\"b\";c"},
        {"x\x1b[2J\ry\x7f", "x\\x1b[2J\\x0dy\\x7f", "x\x1b[2J\ry\x7f"},
        {"bad\xff\xc3", "bad\\xff\\xc3", "bad\uFFFD\uFFFD"},
        {"caf\xc3\xa9\\", "caf\xc3\xa9\\\\", "caf\xc3\xa9\\"},
        {"nel\xc2\x85ls\xe2\x80\xa8rlo\xe2\x80\xae", "nel\\xc2\\x85ls\\xe2\\x80\\xa8rlo\\xe2\\x80\\xae",
         "nel\u0085ls\u2028rlo\u202e"},
        {a37 + "bcd", a37 + "bcd", a37 + "bcd"},  // 40 characters: whole
        {a37 + "bcde", a37 + "...", a37 + "bcde"},
        {"aa" + std::string(34, 'b') + "\n" + std::string(9, 'c'), "aa" + std::string(34, 'b') + "...",
         "aa" + std::string(34, 'b') + "\n" + std::string(9, 'c')},  // no escape cut in two
    };
    PreciseResult r = sixHopSample();
    r.hops.resize(1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown);
        r.hops[0].name = c.name;
        const std::string table = formatPreciseTable(r, "example.net");
        EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3);
        EXPECT_EQ(table.find_first_of("\r\x1b\x7f"), std::string::npos);
        const std::string row = table.substr(table.rfind('\n', table.size() - 2) + 1);
        EXPECT_EQ(row, "  1  10.0.1.1 (" + c.shown +
                           ")  100.00 Mb/s     99.500 Mb/s - 100.50 Mb/s    =                 0.512 ms    300/298\n");
        const json doc = json::parse(formatPreciseJson(r, "example.net"));
        EXPECT_EQ(doc["hops"][0]["name"], c.inJson);
    }
}

TEST(PreciseDelivery, AProbeLogThatCannotBeWrittenCostsNotTheResult)
{
    PreciseOptions options;
    options.save = "/dev/full";
    const PreciseResult r = sixHopSample();
    const ChildResult child = runInChild([&] { std::exit(deliverPreciseResult(r, "example.net", options)); });
    EXPECT_EQ(child.exitStatus, 1);
    EXPECT_EQ(child.out, formatPreciseTable(r, "example.net"));
    EXPECT_EQ(child.err, "hoprate: /dev/full: No space left on device\n");
}

TEST(ProgressLine, RewritesInPlaceAndClearsOnlyOnATerminal)
{
    const ChildResult shown = runInChild([] {
        ProgressLine line(true);
        line.show({"finding the path", 0, 12, 0, 0});
        line.show({"measuring", 6, 2712, 4, 0.0123});
        line.show({"done", 6, 2800, 0, 0});
        line.finish();
        line.finish();  // nothing more
    });
    EXPECT_EQ(shown.err, "\rhoprate: finding the path, 12 probes"
                         "\rhoprate: measuring, 6 hops (4 still measured), 2712 probes, widest interval \u00b11.23 %"
                         "\rhoprate: done, 6 hops, 2800 probes" +
                             std::string(50, ' ') + "\r" + std::string(34, ' ') + "\r");
    const ChildResult quiet = runInChild([] {
        ProgressLine line(false);
        line.show({"measuring", 6, 2712, 4, 0.0123});
    });
    EXPECT_EQ(quiet.err, "");
    // Destroyed while shown: the line is cleared.
    const ChildResult destroyed = runInChild([] { ProgressLine(true).show({"x", 0, 1, 0, 0}); });
    EXPECT_EQ(destroyed.err, "\rhoprate: x, 1 probes\r" + std::string(20, ' ') + "\r");
}

PreciseOptions parse(std::vector<std::string> words)
{
    words.insert(words.begin(), {"hoprate", "--precise"});
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return parsePreciseArguments(static_cast<int>(words.size()), argv.data());
}

std::string refusal(const std::vector<std::string> &words)
{
    try {
        parse(words);
    } catch (const std::invalid_argument &complaint) {
        return complaint.what();
    }
    return "(accepted)";
}

TEST(PreciseArguments, Defaults)
{
    const PreciseOptions o = parse({"example.net"});
    EXPECT_EQ(o.destinations, std::vector<std::string>{"example.net"});
    EXPECT_FALSE(o.quick);
    EXPECT_FALSE(o.json);
    EXPECT_TRUE(o.settings.kernelStamps);
    EXPECT_EQ(o.save, "");
    EXPECT_FALSE(o.help);
    EXPECT_EQ(o.settings.maxHops, 30);
    EXPECT_EQ(o.settings.budget, 300);
    EXPECT_EQ(o.settings.target, 0.0004);
    EXPECT_EQ(o.settings.probeSizes, 16);
    EXPECT_EQ(o.settings.rate, 0);
    EXPECT_EQ(o.settings.gapFactor, 1.2);
    EXPECT_FALSE(o.settings.ttlLimited);
    EXPECT_FALSE(o.seed.has_value());  // one is drawn for the run
    EXPECT_FALSE(o.numeric);           // host names are looked up
    EXPECT_TRUE(parse({"--help"}).help);  // no destination needed
    EXPECT_TRUE(parse({"--version"}).version);
}

TEST(PreciseArguments, EveryOption)
{
    const PreciseOptions o = parse({"--json", "--save", "run.csv", "--max-hops", "12", "--budget=500", "--target",
                                    "0.5", "--rate", "250", "--sizes", "24", "--spacing", "0", "--ttl-limited",
                                    "--no-kernel-stamps", "--seed", "42", "192.0.2.80"});
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.save, "run.csv");
    EXPECT_EQ(o.settings.maxHops, 12);
    EXPECT_EQ(o.settings.budget, 500);
    EXPECT_DOUBLE_EQ(o.settings.target, 0.005);
    EXPECT_EQ(o.settings.rate, 250);
    EXPECT_EQ(o.settings.probeSizes, 24);
    EXPECT_EQ(o.settings.gapFactor, 0);
    EXPECT_TRUE(o.settings.ttlLimited);
    EXPECT_FALSE(o.settings.kernelStamps);
    EXPECT_EQ(o.seed, 42u);
    EXPECT_EQ(o.destinations, std::vector<std::string>{"192.0.2.80"});
    EXPECT_EQ(parse({"--seed", "0", "h"}).seed, 0u);  // a seed given is the seed used
    // Unambiguous prefixes of long options are taken.
    EXPECT_TRUE(parse({"--js", "h"}).json);
    // -n and --numeric; -n with -4 or -6 in one word.
    EXPECT_TRUE(parse({"-n", "h"}).numeric);
    EXPECT_TRUE(parse({"h", "--numeric"}).numeric);
    const PreciseOptions both = parse({"-n6", "fd77::2"});
    EXPECT_TRUE(both.numeric);
    EXPECT_EQ(both.family, FamilyWish::V6);
    // The three ways with the directions.
    for (const auto &[word, apart, insist] :
         {std::tuple{"auto", true, false}, std::tuple{"insist", true, true}, std::tuple{"off", false, false}}) {
        const PreciseSettings s = parse({"--directions", word, "h"}).settings;
        EXPECT_EQ(s.directions, apart) << word;
        EXPECT_EQ(s.insistDirections, insist) << word;
    }
}

TEST(PreciseArguments, QuickSetsBudgetAndTargetUnlessGiven)
{
    PreciseOptions o = parse({"--quick", "h"});
    EXPECT_TRUE(o.quick);
    EXPECT_EQ(o.settings.budget, 150);
    EXPECT_EQ(o.settings.target, 0.001);
    EXPECT_EQ(o.settings.noisyBudget, 2);
    o = parse({"--budget", "200", "--quick", "h"});
    EXPECT_EQ(o.settings.budget, 200);
    EXPECT_EQ(o.settings.target, 0.001);
    o = parse({"--quick", "--target", "1", "h"});
    EXPECT_EQ(o.settings.budget, 150);
    EXPECT_EQ(o.settings.target, 0.01);
    EXPECT_EQ(parse({"h"}).settings.noisyBudget, 3);
}

TEST(PreciseArguments, RangesAcceptTheirEndsAndRefuseBeyond)
{
    for (const auto &[option, low, high] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"--max-hops", "1", "255"},   {"--budget", "16", "100000"}, {"--sizes", "3", "200"},
             {"--target", "0.0001", "100"}, {"--rate", "1", "100000"},    {"--spacing", "0", "100"},
             {"--seed", "0", "9223372036854775807"}, {"--port", "1", "65535"}, {"--first-hop", "1", "30"}}) {
        EXPECT_EQ(refusal({option, low, "h"}), "(accepted)") << option;
        EXPECT_EQ(refusal({option, high, "h"}), "(accepted)") << option;
    }
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{"--max-hops", "0", "h"}, R"(--max-hops needs a whole number from 1 to 255, not "0")"},
        {{"--max-hops", "256", "h"}, R"(--max-hops needs a whole number from 1 to 255, not "256")"},
        {{"--max-hops", "12x", "h"}, R"(--max-hops needs a whole number from 1 to 255, not "12x")"},
        {{"--max-hops", "", "h"}, R"(--max-hops needs a whole number from 1 to 255, not "")"},
        {{"--budget", "15", "h"}, R"(--budget needs a whole number from 16 to 100000, not "15")"},
        {{"--budget", "100001", "h"}, R"(--budget needs a whole number from 16 to 100000, not "100001")"},
        {{"--sizes", "2", "h"}, R"(--sizes needs a whole number from 3 to 200, not "2")"},
        {{"--sizes", "2.5", "h"}, R"(--sizes needs a whole number from 3 to 200, not "2.5")"},
        {{"--seed", "-1", "h"}, R"(--seed needs a whole number from 0 to 9223372036854775807, not "-1")"},
        {{"--seed", "9223372036854775808", "h"},
         R"(--seed needs a whole number from 0 to 9223372036854775807, not "9223372036854775808")"},
        {{"--target", "0.00009", "h"}, R"(--target needs a number from 0.0001 to 100, not "0.00009")"},
        {{"--target", "100.01", "h"}, R"(--target needs a number from 0.0001 to 100, not "100.01")"},
        {{"--target", "nan", "h"}, R"(--target needs a number from 0.0001 to 100, not "nan")"},
        {{"--rate", "0.5", "h"}, R"(--rate needs a number from 1 to 100000, not "0.5")"},
        {{"--rate", "inf", "h"}, R"(--rate needs a number from 1 to 100000, not "inf")"},
        {{"--spacing", "-0.1", "h"}, R"(--spacing needs a number from 0 to 100, not "-0.1")"},
        {{"--spacing", "1e999", "h"}, R"(--spacing needs a number from 0 to 100, not "1e999")"},
        {{"--save", "", "h"}, "--save needs a file name"},
        {{"--port", "0", "h"}, R"(--port needs a whole number from 1 to 65535, not "0")"},
        {{"--port", "65536", "h"}, R"(--port needs a whole number from 1 to 65535, not "65536")"},
        {{"--first-hop", "31", "h"}, "--first-hop 31 is beyond --max-hops 30"},
        {{"--max-hops", "5", "--first-hop", "6", "h"}, "--first-hop 6 is beyond --max-hops 5"},
        {{"--proto", "sctp", "h"}, R"(--proto needs auto, icmp, udp or tcp, not "sctp")"},
        {{"--directions", "both", "h"}, R"(--directions needs auto, insist or off, not "both")"},
        {{"--source", "h", "h"}, R"(--source needs an IPv4 or IPv6 address, not "h")"},
        {{"--interface", "a/b", "h"}, R"(--interface needs a network interface name, not "a/b")"},
        {{"-4", "fd77::2"}, "-4 with an IPv6 address: fd77::2"},
        {{"-6", "10.0.0.1"}, "-6 with an IPv4 address: 10.0.0.1"},
        {{"--source", "fd77::1", "10.0.0.1"}, "--source fd77::1 is not of the destination's family"},
    };
    for (const auto &[words, message] : refusals)
        EXPECT_EQ(refusal(words), message) << words[0] << " " << words[1];
}

TEST(PreciseArguments, UnknownOptionsAndDestinations)
{
    EXPECT_EQ(refusal({"--bogus", "h"}), "unknown option: --bogus");
    EXPECT_EQ(refusal({"--s", "x", "h"}), "unknown option: --s");  // --save, --sizes, --spacing, --seed
    EXPECT_EQ(refusal({"-q", "h"}), "unknown option: -q");
    EXPECT_EQ(refusal({"-ab", "h"}), "unknown option: -a");
    EXPECT_EQ(refusal({"-nx", "h"}), "unknown option: -x");
    EXPECT_EQ(refusal({"--numeric=1", "h"}), "option takes no argument: --numeric=1");
    EXPECT_EQ(refusal({"--json=1", "h"}), "option takes no argument: --json=1");
    EXPECT_EQ(refusal({"--budget"}), "option needs an argument: --budget");
    EXPECT_EQ(refusal({"--json", "--save"}), "option needs an argument: --save");
    EXPECT_EQ(refusal({}), "no destination given");
    EXPECT_EQ(refusal({"--json"}), "no destination given");
    // Several destinations, each checked; or a file of them.
    EXPECT_EQ(parse({"--", "a", "b", "c"}).destinations, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(refusal({"a", "b c"}), R"(not an IP address or host name: "b c")");
    EXPECT_EQ(refusal({"--targets", "list"}), "(accepted)");
    EXPECT_EQ(refusal({"--targets", "", "h"}), "--targets needs a file name");
    EXPECT_EQ(refusal({""}), "empty destination");
    // Exactly an address or a name: nothing after a dotted quad, no byte a name cannot hold.
    for (const std::string &bad : std::vector<std::string>{"10.99.0.2 \xff", "10.99.0.2 x", "10.99.0.256", "10.1", "1.2.3.4.5", "h\nx",
                                  "name with space", "caf\xc3\xa9.example", std::string(254, 'a'),
                                  std::string(64, 'a') + ".example", "a..b"})
        EXPECT_EQ(refusal({bad}).rfind("not an IP address or host name: ", 0), 0u) << bad;
    EXPECT_EQ(refusal({"h\nx"}), R"(not an IP address or host name: "h\x0ax")");
    for (const std::string good : {"10.99.0.2", "host.example.", "_svc.a-b.example", "localhost", "0.0.0.0", "fd77::2",
                                   "::ffff:10.0.0.1"})
        EXPECT_EQ(refusal({good}), "(accepted)") << good;
    EXPECT_EQ(parse({"--", "-dash.example"}).destinations.at(0), "-dash.example");
    // Options may follow the destination.
    const PreciseOptions after = parse({"host.example", "--json", "--budget", "40"});
    EXPECT_EQ(after.destinations.at(0), "host.example");
    EXPECT_TRUE(after.json);
    EXPECT_EQ(after.settings.budget, 40);
}

TEST(PreciseTargets, OnePerLineCommentsAndBlanksSkippedEveryLineChecked)
{
    PreciseOptions v4;
    v4.family = FamilyWish::V4;
    std::string many = "h";
    for (int i = 0; i < 10000; ++i)
        many += "\nh";
    const struct {
        std::string text;
        std::vector<std::string> destinations;
        std::string error;
    } cases[] = {
        {"a.example\n# a comment\n\n  10.0.0.1  # the router\r\nb.example", {"a.example", "10.0.0.1", "b.example"}, ""},
        {"# nothing\n\n", {}, "list: no destination in it"},
        {"a.example\nb c\n", {}, R"(list:2: not an IP address or host name: "b c")"},
        {"a.example\nfd77::2\n", {}, "list:2: -4 with an IPv6 address: fd77::2"},
        {"h\n" + std::string(1025, 'a') + "\n", {}, "list:2: a line longer than 1024 bytes"},
        {many, {}, "list:10001: more than 10000 destinations"},
    };
    for (const auto &c : cases) {
        const TargetList list = parseTargets(c.text, "list", v4);
        EXPECT_EQ(list.error, c.error) << c.text.substr(0, 40);
        EXPECT_EQ(list.destinations, c.error.empty() ? c.destinations : std::vector<std::string>{});
    }
    EXPECT_EQ(readTargets("/nonexistent/list", v4).error, "/nonexistent/list: No such file or directory");
}

}  // namespace
