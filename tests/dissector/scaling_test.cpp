// What an engineer may be handed to open in Wireshark: captures a bridge or
// a tester made on purpose, with many requests outstanding at once, answers
// that answer nothing, or long runs of the magic alone. Each costs processor
// time in proportion to its size, a few times at most what a clean capture
// of its kind costs per byte, and the answers still find their requests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "core/capture.hpp"
#include "harness/proc.hpp"
#include "harness/util.hpp"
#include "tshark_view.hpp"
#include "wire/codes.hpp"
#include "wire/fields.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Dir = sim::core::Capture::Dir;

constexpr std::size_t kPerSegment = 100;  // commands one segment carries
constexpr std::size_t kSegmentBytes = 150 * 1024;
constexpr std::size_t kSegments = 20;     // 3 MB of bitstream
// A hostile capture may cost this many times what a clean one of its kind
// costs for the same number of bytes: far below what walking everything
// seen so far costs at these sizes (tens to hundreds of times), well above
// what a loaded machine does to processor time.
constexpr double kRatio = 4.0;

Bytes command(std::uint16_t code, bool zero_magic) {
    Bytes b(wire::kCodecCmdSize, 0);
    if (!zero_magic) std::copy(wire::kMagic.begin(), wire::kMagic.end(), b.begin());
    wire::CodecCmd c;
    c.u16Cmd = code;
    wire::store_cmd_fields(b.data(), c);
    return b;
}

Bytes video_packet(std::uint32_t size, std::uint32_t ts) {
    Bytes b(wire::kPacketHeaderSize + size, 0x11);
    std::copy(wire::kMagic.begin(), wire::kMagic.end(), b.begin());
    wire::PacketHeader h;
    h.u32TimeStamp = ts;
    h.u32PacketSize = size;
    h.u32Gob = 3;
    wire::store_header_fields(b.data(), h);
    return b;
}

struct Seg {
    Dir dir;
    Bytes bytes;
};

struct Capture {
    const char* what;
    std::uint16_t port;  // avhub's: 2004 bitstream, 2005 commands
    std::vector<Seg> segs;
    std::size_t answered;  // answers linked to their request
    int baseline;          // index of the clean capture it is held against; -1 for a clean one
    std::size_t bytes() const {
        std::size_t n = 0;
        for (const Seg& s : segs) n += s.bytes.size();
        return n;
    }
};

// count commands in segments of kPerSegment, written by the bridge (magic)
// or by avhub (zero magic).
void add_commands(std::vector<Seg>& segs, Dir dir, std::uint16_t code, std::size_t count) {
    const Bytes one = command(code, dir == Dir::ToBoxsim);
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(kPerSegment, count - done);
        Seg s{dir, {}};
        for (std::size_t i = 0; i < n; ++i) s.bytes.insert(s.bytes.end(), one.begin(), one.end());
        segs.push_back(std::move(s));
        done += n;
    }
}

// Segments of kSegmentBytes, filled by repeating `unit`.
std::vector<Seg> repeated(const Bytes& unit) {
    std::vector<Seg> segs;
    for (std::size_t i = 0; i < kSegments; ++i) {
        Seg s{Dir::FromBoxsim, {}};
        while (s.bytes.size() + unit.size() <= kSegmentBytes) s.bytes.insert(s.bytes.end(), unit.begin(), unit.end());
        segs.push_back(std::move(s));
    }
    return segs;
}

std::vector<Capture> captures() {
    constexpr std::size_t kOutstanding = 3500;
    constexpr std::size_t kPairs = 32000;  // 3 MB of commands
    std::vector<Capture> out;
    {
        Capture clean{"clean dialogue: each segment of requests answered by the next", 2005, {}, kOutstanding, -1};
        for (std::size_t i = 0; i < kOutstanding / kPerSegment; ++i) {
            add_commands(clean.segs, Dir::FromBoxsim, wire::REQ_VDO_ENC, kPerSegment);
            add_commands(clean.segs, Dir::ToBoxsim, wire::ACK_VDO_ENC, kPerSegment);
        }
        out.push_back(std::move(clean));
    }
    {
        Capture video{"clean bitstream: 3 MB of video frames", 2004, {}, 0, -1};
        Bytes frames;
        for (std::uint32_t ts = 0; ts < 10; ++ts) {
            const Bytes p = video_packet(1000 + 300 * ts, ts);
            frames.insert(frames.end(), p.begin(), p.end());
        }
        video.segs = repeated(frames);
        out.push_back(std::move(video));
    }
    // Requests and answers from the same side: no answer is for them, and
    // every request stays outstanding.
    {
        Capture all{"3,500 requests, then 3,500 answers from the same side", 2005, {}, 0, 0};
        add_commands(all.segs, Dir::FromBoxsim, wire::REQ_VDO_ENC, kOutstanding);
        add_commands(all.segs, Dir::FromBoxsim, wire::ACK_VDO_ENC, kOutstanding);
        out.push_back(std::move(all));
    }
    {
        Capture same{"32,000 request and answer pairs, all from one side", 2005, {}, 0, 0};
        Bytes pair = command(wire::REQ_VDO_ENC, false);
        const Bytes ack = command(wire::ACK_VDO_ENC, false);
        pair.insert(pair.end(), ack.begin(), ack.end());
        for (std::size_t done = 0; done < kPairs; done += kPerSegment / 2) {
            Seg s{Dir::FromBoxsim, {}};
            for (std::size_t i = 0; i < kPerSegment / 2; ++i) s.bytes.insert(s.bytes.end(), pair.begin(), pair.end());
            same.segs.push_back(std::move(s));
        }
        out.push_back(std::move(same));
    }
    const Bytes magic(wire::kMagic.begin(), wire::kMagic.end());
    out.push_back({"3 MB of nothing but the magic, bitstream port", 2004, repeated(magic), 0, 1});
    out.push_back({"3 MB of nothing but the magic, command port", 2005, repeated(magic), 0, 1});
    return out;
}

struct Dissected {
    bool ok = false;
    double cpu_seconds = 0;    // tshark's user and system time
    std::size_t answered = 0;  // "Request in" links shown
    bool lua_error = false;
};

double children_cpu_seconds() {
    rusage ru{};
    ::getrusage(RUSAGE_CHILDREN, &ru);
    auto s = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; };
    return s(ru.ru_utime) + s(ru.ru_stime);
}

// Both passes, as Wireshark makes them, with only the fields needed here
// printed: the time is the dissector's, not that of printing a tree.
Dissected dissect(const std::string& file, std::chrono::seconds timeout) {
    const double cpu0 = children_cpu_seconds();
    auto proc = harness::Proc::start(dissect::tshark_path(),
                                     {"-n", "-2", "-X", "lua_script:" AVBOX_DISSECTOR, "-r", file, "-T", "fields",
                                      "-E", "occurrence=a", "-E", "aggregator=;", "-e", "avbox.request_in",
                                      "-e", "_ws.lua.error"});
    const auto status = proc->wait_exit(timeout);
    Dissected d;
    if (!status) {
        proc->kill_now();
        return d;
    }
    d.cpu_seconds = children_cpu_seconds() - cpu0;
    d.ok = *status == 0;
    std::istringstream in(proc->stdout_text());
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        const std::string links = line.substr(0, tab);
        if (!links.empty()) d.answered += 1 + static_cast<std::size_t>(std::count(links.begin(), links.end(), ';'));
        if (tab != std::string::npos && tab + 1 < line.size()) d.lua_error = true;
    }
    if (proc->stderr_text().find("Lua") != std::string::npos) d.lua_error = true;
    return d;
}

TEST(DissectorScaling, HostileCapturesCostTimeInProportionToTheirSize) {
    if (dissect::tshark_path().empty()) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it)";
    harness::TempDir dir;
    const auto all = captures();
    std::vector<double> per_byte(all.size(), 0);
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Capture& c = all[i];
        SCOPED_TRACE(c.what);
        const std::string file = dir.path() + "/capture" + std::to_string(i) + ".pcapng";
        {
            sim::core::Capture cap;
            ASSERT_EQ(cap.open(file), 0);
            const int conn = cap.begin_tcp(htonl(0x7F000001), htons(40000), htonl(0x7F000001), htons(c.port));
            long long t = 1000000;
            for (const Seg& s : c.segs) cap.data(conn, s.dir, s.bytes, t += 100);
            cap.end(conn);
        }
        // A clean capture has its time; a hostile one gets a few times what
        // its clean kind takes for as many bytes, and is stopped well past it.
        double bound = 0;
        std::chrono::seconds limit = std::chrono::duration_cast<std::chrono::seconds>(harness::scaled(std::chrono::seconds(120)));
        if (c.baseline >= 0) {
            bound = kRatio * per_byte[static_cast<std::size_t>(c.baseline)] * static_cast<double>(c.bytes());
            limit = std::chrono::seconds(static_cast<long>(4 * bound) + 30);
        }
        const Dissected d = dissect(file, limit);
        std::printf("[ measured ] %s (%zu bytes): %.2f s of processor time%s\n", c.what, c.bytes(), d.cpu_seconds,
                    c.baseline >= 0 ? (" (bound " + std::to_string(bound) + " s)").c_str() : "");
        ASSERT_TRUE(d.ok) << "tshark failed or ran past " << limit.count() << " s";
        EXPECT_FALSE(d.lua_error);
        EXPECT_EQ(d.answered, c.answered);
        if (c.baseline < 0) per_byte[i] = d.cpu_seconds / static_cast<double>(c.bytes());
        else EXPECT_LE(d.cpu_seconds, bound);
    }
}

}  // namespace
