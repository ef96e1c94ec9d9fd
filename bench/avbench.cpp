// avbench: measures avhub on this machine against the floors the machine
// itself sets, in one run, and prints a table (every figure beside its
// target) and a JSON file. It must run inside the private namespaces of
// nsrun: it takes the fixed paths /tmp/T_EncStrm, /dev/avhub and
// /mnt/project/Tivane for itself.
//
//   avbench [--out DIR] [--frames N] [--sustain-s S] [--call-s S] [--idle-s S]
//           [--phases relay,pacing,call]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "boxsim/client.hpp"
#include "harness/proc.hpp"
#include "harness/util.hpp"
#include "procstat.hpp"
#include "report.hpp"
#include "stats.hpp"
#include "traffic.hpp"

namespace bench {
namespace {

using namespace std::chrono_literals;

struct Config {
    std::string out = "/tmp/avbench";
    std::uint32_t frames = 10000;
    double latency_fps = 500;
    double sustain_s = 30;
    double overload_s = 5;
    double call_s = 300;
    double idle_s = 10;
    std::string phases = "relay,pacing,call";  // which measurements to run
    bool runs(const std::string& phase) const { return phases.find(phase) != std::string::npos; }
};

double mono_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void say(const std::string& text) {
    std::printf("avbench: %s\n", text.c_str());
    std::fflush(stdout);
}

// An owned descriptor.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd = o.fd;
            o.fd = -1;
        }
        return *this;
    }
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

Fd listen_unix(const std::string& path) {
    ::unlink(path.c_str());
    Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (s.fd < 0 || ::bind(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s.fd, 4) != 0) return Fd{};
    return s;
}

Fd accept_within(const Fd& l, int ms) {
    pollfd p{l.fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return Fd{};
    return Fd(::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC));
}

// avhub's command FIFO: one command per write, then its echo line.
bool fifo(harness::Proc& hub, const std::string& text) {
    Fd f(::open("/dev/avhub", O_WRONLY | O_NONBLOCK));
    if (f.fd < 0 || ::write(f.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return false;
    return hub.wait_stdout("fifo [" + text, 5000ms).has_value();
}

std::unique_ptr<harness::Proc> start_hub(const std::vector<std::string>& settings, const std::string& cwd) {
    auto hub = harness::Proc::start("avhub", settings, {.cwd = cwd});
    if (!hub->wait_stdout("==================waiting", 20000ms)) return nullptr;
    return hub;
}

void close_hub(std::unique_ptr<harness::Proc>& hub) {
    if (!hub) return;
    (void)fifo(*hub, "close");
    if (!hub->wait_exit(5000ms)) hub->kill_now();
    hub.reset();
    ::unlink("/dev/avhub");
    ::unlink("/tmp/avhub.pid");
}

std::string load_average() {
    std::ifstream f("/proc/loadavg");
    std::string a, b, c;
    f >> a >> b >> c;
    return a + " " + b + " " + c + " (" + std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " cores)";
}

bool sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

// ---------------------------------------------------------------- relay

struct PathResult {
    std::string name;
    Summary lat_us;
    StreamResult raw;
};

PathResult latency_through(const std::string& name, int src, int dst, const Config& c, bool joined) {
    say("latency: " + std::to_string(c.frames) + " frames through " + name);
    StreamPlan plan;
    plan.frames = c.frames;
    plan.frame_bytes = 4096;
    plan.piece_bytes = 1400;
    plan.fps = c.latency_fps;
    plan.joined = joined;
    PathResult r{name, {}, run_stream(src, dst, plan)};
    r.lat_us = summarize(r.raw.latency_us);
    // Every frame's latency, for the distribution plot.
    if (FILE* f = std::fopen((c.out + "/latency-" + name + ".tsv").c_str(), "w")) {
        std::fprintf(f, "latency_us\n");
        for (const double v : r.raw.latency_us) std::fprintf(f, "%.1f\n", v);
        std::fclose(f);
    }
    r.raw.latency_us.clear();
    return r;
}

// socat between two UNIX sockets of our own.
PathResult via_socat(const Config& c) {
    Fd in = listen_unix("/tmp/bench_fwd_in"), out = listen_unix("/tmp/bench_fwd_out");
    auto socat = harness::Proc::start("/usr/bin/socat", {"-b", "262144", "UNIX-CONNECT:/tmp/bench_fwd_in",
                                                          "UNIX-CONNECT:/tmp/bench_fwd_out"});
    Fd a = accept_within(in, 5000), b = accept_within(out, 5000);
    if (a.fd < 0 || b.fd < 0) return {"socat (not started)", {}, {}};
    auto r = latency_through("socat", a.fd, b.fd, c, false);
    a.reset();
    (void)socat->wait_exit(3000ms);
    return r;
}

// hoprelay over two socketpairs.
PathResult via_hoprelay(const Config& c) {
    int a[2], b[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, a) != 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, b) != 0) {
        return {"hoprelay (no socketpair)", {}, {}};
    }
    const std::string path = harness::bin("hoprelay");  // no allocation after fork
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The relay's two ends, kept open across exec.
        ::dup2(a[1], 3);
        ::dup2(b[0], 4);
        ::execl(path.c_str(), "hoprelay", "3", "4", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(a[1]);
    ::close(b[0]);
    Fd src(a[0]), dst(b[1]);
    auto r = latency_through("hoprelay", src.fd, dst.fd, c, false);
    src.reset();
    int st = 0;
    ::waitpid(pid, &st, 0);
    return r;
}

struct RelayResults {
    PathResult hub, socat, hop;
    StreamResult sustain, sustain_whole, sustain_bigbuf, overload, slow_sink;
    double overload_offered_fps = 0;
    ProcSample idle_a, idle_b, floor_a, floor_b;
    std::string floor_line, probe_line;
    bool ok = false;
};

// Idle avhub beside the bare 1 ms poll loop, in the same window.
void measure_idle(harness::Proc& hub, const Config& c, RelayResults& r) {
    say("idle: avhub and the bare poll loop, " + std::to_string(static_cast<int>(c.idle_s)) + " s side by side");
    std::ostringstream secs;
    secs << c.idle_s + 1.0;
    auto floor = harness::Proc::start("pollfloor", {secs.str()});
    // A second bare loop that times stamps written at random moments: the
    // delay with which such a loop notices data, the floor of relay latency.
    auto probe = harness::Proc::start("pollfloor", {secs.str(), "1000"});
    std::this_thread::sleep_for(500ms);
    r.idle_a = sample(hub.pid());
    r.floor_a = sample(floor->pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(c.idle_s));
    r.idle_b = sample(hub.pid());
    r.floor_b = sample(floor->pid());
    if (auto line = floor->wait_stdout("passes", 5000ms)) r.floor_line = *line;
    if (auto line = probe->wait_stdout("probes", 5000ms)) r.probe_line = *line;
    (void)floor->wait_exit(2000ms);
    (void)probe->wait_exit(2000ms);
}

RelayResults measure_relay(const Config& c) {
    RelayResults r;
    // avhub's video encoder and decoder bitstream endpoints are ours;
    // boxsim serves the other ten and never brings these two up.
    boxsim::Options o;
    o.record_dir = c.out + "/relay-boxsim";
    o.args = {"--no-autostream", "--late", "T_EncStrm:3600", "--late", "T_DecStrm:3600"};
    auto sim = boxsim::Boxsim::start(o);
    if (!sim) {
        say("relay set-up failed: boxsim did not come up");
        return r;
    }
    // Made once boxsim is up, which clears stale endpoint paths as it starts.
    Fd enc_l = listen_unix("/tmp/T_EncStrm"), dec_l = listen_unix("/tmp/T_DecStrm");
    harness::TempDir cwd;
    auto hub = start_hub({"54", "1280", "720", "30", "2000", "1", "3600", "0", "0"}, cwd.path());
    Fd enc = accept_within(enc_l, 5000), dec = accept_within(dec_l, 5000);
    if (!hub || enc.fd < 0 || dec.fd < 0) {
        say(std::string("relay set-up failed: ") + (!hub ? "avhub did not serve its FIFO" : "avhub did not connect"));
        return r;
    }
    measure_idle(*hub, c, r);
    if (!fifo(*hub, "start") || !hub->wait_stdout("Open Video Decoder", 5000ms)) {
        say("the test call did not start");
        return r;
    }
    r.hub = latency_through("avhub", enc.fd, dec.fd, c, true);

    // The encoder cuts frames into pieces of at most 1400 bytes, as the
    // simulated codec server does; a second run sends each frame as one
    // whole piece, which takes a fifth of the socket overhead.
    StreamPlan sp;
    sp.seconds = c.sustain_s;
    sp.frame_bytes = 16384;
    sp.piece_bytes = 1400;
    sp.joined = true;
    say("sustained: 16 KiB frames in 1400-byte pieces, as fast as avhub takes them, " +
        std::to_string(static_cast<int>(c.sustain_s)) + " s");
    r.sustain = run_stream(enc.fd, dec.fd, sp);
    r.sustain.latency_us.clear();
    StreamPlan whole = sp;
    whole.piece_bytes = sp.frame_bytes;
    say("sustained: 16 KiB frames as whole pieces, " + std::to_string(static_cast<int>(c.sustain_s)) + " s");
    r.sustain_whole = run_stream(enc.fd, dec.fd, whole);
    r.sustain_whole.latency_us.clear();
    // What caps the first run: the encoder's socket holds only so many
    // pieces, and avhub reads once per pass. The same pieces with a 1 MiB
    // encoder buffer show it.
    StreamPlan big = sp;
    big.seconds = std::min(10.0, c.sustain_s);
    big.src_sndbuf = 1 << 20;
    say("sustained: 1400-byte pieces with a 1 MiB encoder socket buffer, " + std::to_string(static_cast<int>(big.seconds)) +
        " s");
    r.sustain_bigbuf = run_stream(enc.fd, dec.fd, big);
    r.sustain_bigbuf.latency_us.clear();

    const double max_fps = r.sustain.seconds > 0 ? static_cast<double>(r.sustain.received) / r.sustain.seconds : 0;
    r.overload_offered_fps = std::max(1000.0, 2.0 * max_fps);
    say("overload: offered " + std::to_string(static_cast<int>(r.overload_offered_fps)) + " frames/s for " +
        std::to_string(static_cast<int>(c.overload_s)) + " s, an encoder that drops whole frames when full");
    StreamPlan op = sp;
    op.seconds = c.overload_s;
    op.fps = r.overload_offered_fps;
    op.drop_when_full = true;
    r.overload = run_stream(enc.fd, dec.fd, op);
    r.overload.latency_us.clear();

    // A decoder that takes only 20 MB/s while the encoder offers all it
    // can: avhub's writes to it fill up, and what it cannot take must be
    // dropped whole.
    say("slow decoder: 20 MB/s decoder, encoder as fast as avhub takes frames, " +
        std::to_string(static_cast<int>(c.overload_s)) + " s");
    StreamPlan slow = sp;
    slow.seconds = c.overload_s;
    slow.sink_bytes_per_s = 20e6;
    r.slow_sink = run_stream(enc.fd, dec.fd, slow, 5000);
    r.slow_sink.latency_us.clear();
    (void)fifo(*hub, "stop");
    close_hub(hub);
    sim->stop();

    r.socat = via_socat(c);
    r.hop = via_hoprelay(c);
    r.ok = true;
    return r;
}

// ---------------------------------------------------------------- pacing

struct PacingResult {
    Summary vdo_ms, ado_ms;  // arrival minus due; negative is early
    Summary vdo_rest_ms, ado_rest_ms;  // the same without the one longest stall
    std::size_t vdo_stalled = 0, ado_stalled = 0;
    std::size_t vdo_expected = 0, ado_expected = 0;
    bool ok = false;
    std::string note;
};

constexpr int kClipFps = 25;
constexpr int kClipSeconds = 8;
constexpr int kBlackSeconds = 1;
constexpr std::uint32_t kAdoBlock = 160;  // avhub's clip audio block; 20 ms of 8000 bytes/s

// Each clip opening blocks the loop for 100 ms, so the packets due then
// leave late together. Sets that run apart (the packets late by more than
// 5 ms next to the latest one), counts it, and summarizes the rest.
Summary without_worst_stall(const std::vector<double>& dev, std::size_t& stalled) {
    stalled = 0;
    if (dev.empty()) return {};
    std::size_t worst = 0;
    for (std::size_t i = 1; i < dev.size(); ++i)
        if (dev[i] > dev[worst]) worst = i;
    if (dev[worst] <= 5.0) return summarize(dev);
    std::size_t lo = worst, hi = worst;
    while (lo > 0 && dev[lo - 1] > 5.0) --lo;
    while (hi + 1 < dev.size() && dev[hi + 1] > 5.0) ++hi;
    stalled = hi - lo + 1;
    std::vector<double> rest(dev.begin(), dev.begin() + static_cast<long>(lo));
    rest.insert(rest.end(), dev.begin() + static_cast<long>(hi) + 1, dev.end());
    return summarize(rest);
}

PacingResult measure_pacing(const Config& c) {
    PacingResult r;
    say("pacing: a 25 frames/s clip with audio between the black clips");
    const std::string clip = c.out + "/clip25.avi";
    const std::string ff = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
    if (!sh("mkdir -p /mnt/project/Tivane") ||
        !sh(ff + "-f lavfi -i color=c=black:s=128x96:r=25:d=" + std::to_string(kBlackSeconds) +
            " -c:v libx264 -preset ultrafast -g 5 /mnt/project/Tivane/black.avi") ||
        !sh(ff + "-f lavfi -i testsrc=s=320x240:r=" + std::to_string(kClipFps) + ":d=" + std::to_string(kClipSeconds) +
            " -f lavfi -i sine=f=440:r=8000:samples_per_frame=160:d=" + std::to_string(kClipSeconds) +
            " -c:v libx264 -preset ultrafast -g 25 -c:a pcm_mulaw " + clip)) {
        r.note = "ffmpeg could not make the clips";
        return r;
    }
    boxsim::Options o;
    o.record_dir = c.out + "/clip-boxsim";
    o.args = {"--roles", "codec,ui_app"};
    auto sim = boxsim::Boxsim::start(o);
    harness::TempDir cwd;
    const double hub_start = mono_s();
    auto hub = sim ? start_hub({"54", "1280", "720", "30", "2000", "1", "3600", "0", "0"}, cwd.path()) : nullptr;
    if (!hub || !fifo(*hub, "play " + clip)) {
        r.note = "boxsim or avhub did not come up";
        return r;
    }
    auto& rec = sim->records();
    const bool finished = rec.wait(
        [](const boxsim::Records& rr) {
            for (const auto& e : rr.events("ui"))
                if (e.get("text") == "finish") return true;
            return false;
        },
        boxsim::Ms((kClipSeconds + 2 * kBlackSeconds + 20) * 1000));
    // avhub logs the start of each decoder's timeline on its own clock.
    // The audio timeline is assigned at every clip opening until audio
    // first plays, so each assigned value is a candidate.
    long vdo_start = -1;
    std::vector<long> ado_starts;
    for (const auto& line : hub->stdout_lines()) {
        long v = 0;
        auto at = line.find("Assign u32CurrVdoTmStamp = ");
        if (vdo_start < 0 && at != std::string::npos && std::sscanf(line.c_str() + at + 27, "%ld", &v) == 1) vdo_start = v;
        at = line.find("Assign u32CurrAdoTmStamp = ");
        if (at != std::string::npos && std::sscanf(line.c_str() + at + 27, "%ld", &v) == 1) ado_starts.push_back(v);
    }
    close_hub(hub);
    if (vdo_start < 0 || ado_starts.empty()) {
        r.note = "avhub did not log its clip timeline";
        sim->stop();
        return r;
    }
    if (!finished) {
        r.note = "no finish record";
        sim->stop();
        return r;
    }
    std::vector<boxsim::ChunkEvent> vdo, ado;
    for (auto& ch : rec.chunks("T_DecStrm"))
        if (ch.hdr.u8StreamCh == 0) vdo.push_back(std::move(ch));
    for (auto& ch : rec.chunks("ado_dec_server_socket"))
        if (ch.hdr.u8StreamCh == 12) ado.push_back(std::move(ch));
    sim->stop();

    const std::size_t lead = static_cast<std::size_t>(kBlackSeconds * kClipFps);
    r.vdo_expected = static_cast<std::size_t>(kClipSeconds * kClipFps);
    r.ado_expected = static_cast<std::size_t>(kClipSeconds * 8000 / kAdoBlock);
    if (vdo.size() < lead + r.vdo_expected || ado.size() < r.ado_expected) {
        r.note = "delivered " + std::to_string(vdo.size()) + " video packets and " + std::to_string(ado.size()) +
                 " audio blocks, fewer than the clips hold";
        return r;
    }
    // Due times: the video timeline runs on from the lead-in's first frame
    // (the decoder stays open between clips), one frame per 40 ms; the
    // audio timeline starts where avhub logged it, one 160-byte block per
    // 20 ms. avhub's millisecond clock counts from a whole second of the
    // monotonic clock near its start, found as the one that fits best.
    std::vector<double> best_v, best_a;
    double ado_from_clip_ms = 0;  // the audio timeline's start from the clip's first video due time
    double best = 1e18;
    for (int k = -1; k <= 3; ++k) {
        const double origin_ms = (std::floor(hub_start) + k) * 1000.0;
        std::vector<double> dv;
        for (std::size_t i = lead; i < lead + r.vdo_expected; ++i) {
            const double due = origin_ms + static_cast<double>(vdo_start) + static_cast<double>(i) * 1000.0 / kClipFps;
            dv.push_back(static_cast<double>(vdo[i].t_us) / 1000.0 - due);
        }
        const Summary sv = summarize(dv);
        if (std::fabs(sv.p50) >= best) continue;
        best = std::fabs(sv.p50);
        best_v = dv;
        double best_a_fit = 1e18;
        for (const long a0 : ado_starts) {
            std::vector<double> da;
            for (std::size_t j = 0; j < r.ado_expected; ++j) {
                const double due = origin_ms + static_cast<double>(a0) + static_cast<double>(j) * kAdoBlock / 8.0;
                da.push_back(static_cast<double>(ado[j].t_us) / 1000.0 - due);
            }
            const double fit = std::fabs(summarize(da).p50);
            if (fit < best_a_fit) {
                best_a_fit = fit;
                best_a = da;
                ado_from_clip_ms = static_cast<double>(a0 - vdo_start) - static_cast<double>(lead) * 1000.0 / kClipFps;
            }
        }
    }
    r.vdo_ms = summarize(best_v);
    r.ado_ms = summarize(best_a);
    r.vdo_rest_ms = without_worst_stall(best_v, r.vdo_stalled);
    r.ado_rest_ms = without_worst_stall(best_a, r.ado_stalled);
    // Every packet's deviation, for a look at where lateness sits in the clip.
    // due_ms: the packet's due time from the start of the clip's own
    // timeline, so both kinds share the time axis of the plot.
    if (FILE* f = std::fopen((c.out + "/pacing.tsv").c_str(), "w")) {
        std::fprintf(f, "kind\tindex\tdeviation_ms\tdue_ms\n");
        for (std::size_t i = 0; i < best_v.size(); ++i)
            std::fprintf(f, "video\t%zu\t%.3f\t%.1f\n", i, best_v[i], static_cast<double>(i) * 1000.0 / kClipFps);
        for (std::size_t i = 0; i < best_a.size(); ++i)
            std::fprintf(f, "audio\t%zu\t%.3f\t%.1f\n", i, best_a[i],
                         ado_from_clip_ms + static_cast<double>(i) * kAdoBlock / 8.0);
        std::fclose(f);
    }
    // Where the clips open on the same axis: the requested clip at 0, the
    // black trailer after it.
    if (FILE* f = std::fopen((c.out + "/clip-opens.tsv").c_str(), "w")) {
        std::fprintf(f, "clip\tdue_ms\nclip\t0\ntrailer\t%d\n", kClipSeconds * 1000);
        std::fclose(f);
    }
    r.ok = true;
    return r;
}

// ---------------------------------------------------------------- cost

struct CallCost {
    ProcSample start, end;
    std::uint64_t rss_peak_kib = 0;
    std::string sim_stats;
    bool ok = false;
};

CallCost measure_call(const Config& c) {
    CallCost r;
    say("call: 30 frames/s at 8 Mbit/s for " + std::to_string(static_cast<int>(c.call_s)) + " s");
    boxsim::Options o;
    o.record_dir = c.out + "/call-boxsim";
    auto sim = boxsim::Boxsim::start(o);
    harness::TempDir cwd;
    auto hub = sim ? start_hub({"54", "1280", "720", "30", "8000", "1", "3600", "0", "0"}, cwd.path()) : nullptr;
    if (!hub || !fifo(*hub, "start") || !hub->wait_stdout("Open Video Decoder", 5000ms)) return r;
    std::this_thread::sleep_for(2s);
    r.start = sample(hub->pid());
    const double until = mono_s() + c.call_s;
    // One line a second: CPU share over that second and resident memory.
    FILE* trace = std::fopen((c.out + "/call.tsv").c_str(), "w");
    if (trace) std::fprintf(trace, "t_s\tcpu_percent\trss_mib\n");
    ProcSample prev = r.start;
    while (mono_s() < until) {
        std::this_thread::sleep_for(1s);
        const ProcSample now = sample(hub->pid());
        r.rss_peak_kib = std::max(r.rss_peak_kib, now.rss_kib);
        if (trace && now.ok)
            std::fprintf(trace, "%.2f\t%.3f\t%.3f\n", now.t - r.start.t, cpu_percent(prev, now),
                         static_cast<double>(now.rss_kib) / 1024.0);
        if (now.ok) prev = now;
    }
    if (trace) std::fclose(trace);
    r.end = sample(hub->pid());
    (void)fifo(*hub, "stop");
    r.sim_stats = sim->command("stats");
    close_hub(hub);
    sim->stop();
    r.ok = r.start.ok && r.end.ok;
    return r;
}


// ---------------------------------------------------------------- table

struct FloorFigures {
    double p50_us = 0, p90_us = 0, p99_us = 0, max_us = 0;
    bool ok = false;
};

// "WORD N p50 X p90 X p99 X max X" from a pollfloor line, plus `add`
// microseconds (a pass's figures are its lateness beyond the 1 ms asked).
FloorFigures parse_floor(const std::string& line, const std::string& word, double add) {
    FloorFigures f;
    long n = 0, p50 = 0, p90 = 0, p99 = 0, mx = 0;
    const auto at = line.find(word + " ");
    if (at != std::string::npos &&
        std::sscanf(line.c_str() + at + word.size(), " %ld p50 %ld p90 %ld p99 %ld max %ld", &n, &p50, &p90, &p99,
                    &mx) == 5) {
        f = {add + static_cast<double>(p50), add + static_cast<double>(p90), add + static_cast<double>(p99),
             add + static_cast<double>(mx), n > 0};
    }
    return f;
}

void latency_rows(Report& rep, const PathResult& p) {
    const std::string g = "relay latency";
    rep.add(g, p.name + " p50", p.lat_us.p50 / 1000.0, "ms");
    rep.add(g, p.name + " p99", p.lat_us.p99 / 1000.0, "ms");
    rep.add(g, p.name + " max", p.lat_us.max / 1000.0, "ms");
    rep.add(g, p.name + " frames intact/lost/corrupt",
            static_cast<double>(p.raw.received), "frames",
            std::to_string(p.raw.lost) + " lost, " + std::to_string(p.raw.corrupt) + " corrupt");
}

double ratio(double a, double b) { return b > 0 ? a / b : 0.0; }

void fill_report(Report& rep, const RelayResults& relay, const PacingResult& pacing, const CallCost& call) {
    const FloorFigures passes = parse_floor(relay.floor_line, "passes", 1000.0);
    const FloorFigures fl = parse_floor(relay.probe_line, "probes", 0.0);
    if (relay.ok) {
        const std::string g = "relay latency";
        const Summary& h = relay.hub.lat_us;
        rep.add(g, "avhub p50", h.p50 / 1000.0, "ms", "<= 0.7", verdict(h.p50 <= 700));
        rep.add(g, "avhub p90", h.p90 / 1000.0, "ms", "<= 1.3", verdict(h.p90 <= 1300));
        rep.add(g, "avhub p99", h.p99 / 1000.0, "ms", "<= 1.2 x floor p99 = " + std::to_string(1.2 * fl.p99_us / 1000.0).substr(0, 5),
                verdict(fl.ok && h.p99 <= 1.2 * fl.p99_us));
        rep.add(g, "avhub max", h.max / 1000.0, "ms", "<= 1.2 x floor max = " + std::to_string(1.2 * fl.max_us / 1000.0).substr(0, 5),
                verdict(fl.ok && h.max <= 1.2 * fl.max_us));
        rep.add(g, "avhub frames lost+corrupt", static_cast<double>(relay.hub.raw.lost + relay.hub.raw.corrupt), "frames",
                "0", verdict(relay.hub.raw.lost + relay.hub.raw.corrupt == 0 && relay.hub.raw.received > 0));
        latency_rows(rep, relay.socat);
        latency_rows(rep, relay.hop);
        rep.add(g, "ratio avhub/socat p50", ratio(h.p50, relay.socat.lat_us.p50), "x");
        rep.add(g, "ratio avhub/socat p99", ratio(h.p99, relay.socat.lat_us.p99), "x");
        rep.add(g, "ratio avhub/hoprelay p50", ratio(h.p50, relay.hop.lat_us.p50), "x");
        rep.add(g, "ratio avhub/hoprelay p99", ratio(h.p99, relay.hop.lat_us.p99), "x");

        const std::string t = "relay throughput";
        auto sustained = [&](const std::string& how, const StreamResult& s) {
            const double fps = s.seconds > 0 ? static_cast<double>(s.received) / s.seconds : 0;
            const double mbs = s.seconds > 0 ? static_cast<double>(s.bytes) / s.seconds / 1e6 : 0;
            rep.add(t, how + ": frames", fps, "frames/s");
            rep.add(t, how + ": rate", mbs, "MB/s", ">= 120", verdict(mbs >= 120));
            rep.add(t, how + ": run length", s.seconds, "s");
            rep.add(t, how + ": lost", static_cast<double>(s.lost), "frames", "0", verdict(s.lost == 0));
            rep.add(t, how + ": corrupt", static_cast<double>(s.corrupt), "frames", "0", verdict(s.corrupt == 0));
        };
        sustained("1400-byte pieces", relay.sustain);
        sustained("whole-frame pieces", relay.sustain_whole);
        sustained("pieces, 1 MiB enc. buffer", relay.sustain_bigbuf);
        const StreamResult& o = relay.overload;
        rep.add(t, "overload offered", relay.overload_offered_fps, "frames/s");
        rep.add(t, "overload delivered intact", static_cast<double>(o.received), "frames");
        rep.add(t, "overload dropped whole by encoder", static_cast<double>(o.dropped_at_source), "frames");
        rep.add(t, "overload lost whole in relay", static_cast<double>(o.lost), "frames");
        rep.add(t, "overload corrupt", static_cast<double>(o.corrupt), "frames", "0", verdict(o.corrupt == 0));
        const StreamResult& w = relay.slow_sink;
        rep.add(t, "slow decoder: frames offered", static_cast<double>(w.offered), "frames");
        rep.add(t, "slow decoder: delivered intact", static_cast<double>(w.received), "frames");
        rep.add(t, "slow decoder: lost whole in relay", static_cast<double>(w.lost), "frames");
        rep.add(t, "slow decoder: corrupt", static_cast<double>(w.corrupt), "frames", "0", verdict(w.corrupt == 0));

        const std::string f = "poll loop floor";
        rep.add(f, "data noticed after p50", fl.p50_us / 1000.0, "ms");
        rep.add(f, "data noticed after p90", fl.p90_us / 1000.0, "ms");
        rep.add(f, "data noticed after p99", fl.p99_us / 1000.0, "ms");
        rep.add(f, "data noticed after max", fl.max_us / 1000.0, "ms");
        rep.add(f, "1 ms poll pass p50", passes.p50_us / 1000.0, "ms");
        rep.add(f, "1 ms poll pass p99", passes.p99_us / 1000.0, "ms");
        rep.add(f, "1 ms poll pass max", passes.max_us / 1000.0, "ms");
    } else {
        rep.notes.push_back("relay measurements did not run");
    }

    const std::string p = "clip pacing";
    if (pacing.ok) {
        const Summary& v = pacing.vdo_ms;
        const Summary& a = pacing.ado_ms;
        rep.add(p, "video mean deviation", v.mean, "ms");
        rep.add(p, "video p99 early", -v.p01, "ms", "<= 20", verdict(-v.p01 <= 20));
        rep.add(p, "video p99 late", v.p99, "ms", "<= 5", verdict(v.p99 <= 5));
        rep.add(p, "video worst early", -v.min, "ms");
        rep.add(p, "video worst late", v.max, "ms");
        rep.add(p, "audio mean deviation", a.mean, "ms");
        rep.add(p, "audio p99 early", -a.p01, "ms", "<= 5", verdict(-a.p01 <= 5));
        rep.add(p, "audio p99 late", a.p99, "ms", "<= 5", verdict(a.p99 <= 5));
        rep.add(p, "audio worst early", -a.min, "ms");
        rep.add(p, "audio worst late", a.max, "ms");
        rep.add(p, "video packets timed", static_cast<double>(v.n), "count");
        rep.add(p, "audio blocks timed", static_cast<double>(a.n), "count");
        rep.add(p, "video in longest stall", static_cast<double>(pacing.vdo_stalled), "packets");
        rep.add(p, "video p99 late apart from it", pacing.vdo_rest_ms.p99, "ms");
        rep.add(p, "video worst late apart from it", pacing.vdo_rest_ms.max, "ms");
        rep.add(p, "audio in longest stall", static_cast<double>(pacing.ado_stalled), "blocks");
        rep.add(p, "audio p99 late apart from it", pacing.ado_rest_ms.p99, "ms");
        rep.add(p, "audio worst late apart from it", pacing.ado_rest_ms.max, "ms");
    } else {
        rep.notes.push_back("clip pacing did not run: " + pacing.note);
    }

    const std::string c = "cost";
    if (relay.ok) {
        const double hub_cpu = cpu_percent(relay.idle_a, relay.idle_b);
        const double floor_cpu = cpu_percent(relay.floor_a, relay.floor_b);
        rep.add(c, "idle CPU avhub", hub_cpu, "% core", "<= 1.2 x floor = " + std::to_string(1.2 * floor_cpu).substr(0, 5),
                verdict(hub_cpu <= 1.2 * floor_cpu));
        rep.add(c, "idle CPU bare poll loop", floor_cpu, "% core");
        rep.add(c, "idle wake-ups avhub", wakeups_per_s(relay.idle_a, relay.idle_b), "/s");
        rep.add(c, "idle wake-ups bare poll loop", wakeups_per_s(relay.floor_a, relay.floor_b), "/s");
        rep.add(c, "idle RSS avhub", static_cast<double>(relay.idle_b.rss_kib) / 1024.0, "MiB", "<= 32",
                verdict(relay.idle_b.rss_kib <= 32 * 1024));
    }
    if (call.ok) {
        rep.add(c, "call CPU avhub", cpu_percent(call.start, call.end), "% core");
        rep.add(c, "call length measured", call.end.t - call.start.t, "s");
        rep.add(c, "call RSS at start", static_cast<double>(call.start.rss_kib) / 1024.0, "MiB", "<= 32",
                verdict(call.start.rss_kib <= 32 * 1024));
        rep.add(c, "call RSS peak", static_cast<double>(call.rss_peak_kib) / 1024.0, "MiB", "<= 32",
                verdict(call.rss_peak_kib <= 32 * 1024));
        const double growth = static_cast<double>(call.end.rss_kib) - static_cast<double>(call.start.rss_kib);
        rep.add(c, "call RSS growth", growth, "KiB", "none (<= 64 KiB page noise)", verdict(growth <= 64));
        rep.notes.push_back("boxsim after the call: " + call.sim_stats);
    } else {
        rep.notes.push_back("the cost call did not run");
    }
}

}  // namespace

int run(int argc, char** argv) {
    Config c;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--out") c.out = v;
        else if (k == "--frames") c.frames = static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10));
        else if (k == "--sustain-s") c.sustain_s = std::atof(v);
        else if (k == "--call-s") c.call_s = std::atof(v);
        else if (k == "--idle-s") c.idle_s = std::atof(v);
        else if (k == "--phases") c.phases = v;
        else {
            std::fprintf(stderr, "usage: avbench [--out DIR] [--frames N] [--sustain-s S] [--call-s S] [--idle-s S] [--phases relay,pacing,call]\n");
            return 2;
        }
    }
    if ((argc - 1) % 2 != 0) {
        std::fprintf(stderr, "usage: avbench [--out DIR] [--frames N] [--sustain-s S] [--call-s S] [--idle-s S] [--phases relay,pacing,call]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    ::mkdir(c.out.c_str(), 0755);
    Report rep;
    rep.notes.push_back("load average at start: " + load_average());
    const RelayResults relay = c.runs("relay") ? measure_relay(c) : RelayResults{};
    const PacingResult pacing = c.runs("pacing") ? measure_pacing(c) : PacingResult{};
    const CallCost call = c.runs("call") ? measure_call(c) : CallCost{};
    fill_report(rep, relay, pacing, call);
    rep.notes.push_back("load average at the end: " + load_average());
    print_report(rep, stdout);
    const std::string json = c.out + "/bench.json";
    if (FILE* f = std::fopen(json.c_str(), "w")) {
        write_json(rep, f);
        std::fclose(f);
        say("JSON written to " + json);
    }
    return relay.ok && pacing.ok && call.ok ? 0 : 1;
}

}  // namespace bench

int main(int argc, char** argv) { return bench::run(argc, argv); }
