#include "session.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "clips.hpp"
#include "harness/util.hpp"
#include "wire/codes.hpp"
#include "wire/fields.hpp"

namespace demo {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using checks::Packets;

namespace {

constexpr const char* kTivaneDir = "/mnt/project/Tivane";
constexpr const char* kClipOnBox = "/mnt/project/Tivane/animation.avi";
constexpr const char* kFifo = "/dev/avhub";
constexpr std::size_t kAudioBlock = 160;  // G.711: 20 ms at 8 kHz
constexpr int kToneKey = 5;
constexpr int kToneChannel = 1;
constexpr int kClipAudioChannel = 12;
constexpr const char* kCallBitRate = "2048";  // kbit/s

long long now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<boxsim::ChunkEvent> since(std::vector<boxsim::ChunkEvent> all, long long t0, int channel) {
    std::erase_if(all, [&](const boxsim::ChunkEvent& c) {
        return c.t_us < t0 || (channel >= 0 && c.hdr.u8StreamCh != channel);
    });
    return all;
}

std::vector<boxsim::Event> events_since(const boxsim::Records& rec, std::string_view kind, long long t0,
                                        long long conn = -1) {
    auto all = rec.events(kind);
    std::erase_if(all, [&](const boxsim::Event& e) {
        return e.num("t", 0) < t0 || (conn >= 0 && e.num("conn") != conn);
    });
    return all;
}

// Payloads of bridge events, kept by the bridge in one data file each way.
Packets bridge_payloads(const std::vector<boxsim::Event>& evs, const std::string& data) {
    Packets out;
    for (const auto& e : evs) {
        const long long off = e.num("off"), size = e.num("u32PacketSize");
        if (off < 0 || size < 0 || static_cast<std::size_t>(off) > data.size()) {
            out.emplace_back();
            continue;
        }
        out.push_back(data.substr(static_cast<std::size_t>(off), static_cast<std::size_t>(size)));
    }
    return out;
}

std::string bytes_text(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }

// A codec command as the codec servers must receive it: magic, code and
// channel, everything else zero.
std::string close_request(std::uint16_t code) {
    std::array<std::uint8_t, wire::kCodecCmdSize> raw{};
    wire::CodecCmd c{};
    c.u16Cmd = code;
    std::copy(wire::kMagic.begin(), wire::kMagic.end(), raw.begin());
    wire::store_cmd_fields(raw.data(), c);
    return {raw.begin(), raw.end()};
}

std::string padded(const std::string& text, std::size_t size) {
    std::string out = text;
    out.resize(size, '\0');
    return out;
}

}  // namespace

bool StageResult::ok() const {
    return problems.empty() && !rows.empty() &&
           std::all_of(rows.begin(), rows.end(), [](const checks::Tally& t) { return t.ok(); });
}

Session::Session(Settings settings, Console& console) : settings_(std::move(settings)), console_(console) {}

Session::~Session() { finish_box(); }

bool Session::run() {
    if (!prepare() || !start_box()) {
        finish_box();
        return false;
    }
    console_.start(settings_.run_dir + "/records/events.tsv");
    struct Stage {
        const char* name;
        StageResult (Session::*run)();
    };
    const std::array<Stage, 5> stages{{{"loopback call", &Session::loopback_call},
                                       {"bridge session", &Session::bridge_session},
                                       {"DTMF tone", &Session::dtmf_tone},
                                       {"animation clip", &Session::animation},
                                       {"close", &Session::close_hub}}};
    for (std::size_t i = 0; i < stages.size(); ++i) {
        console_.stage(static_cast<int>(i + 1), static_cast<int>(stages.size()), stages[i].name);
        const auto begun = std::chrono::steady_clock::now();
        StageResult r = (this->*stages[i].run)();
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
        console_.say("  " + std::string(r.ok() ? "done: " : "FAILED: ") + r.title);
        for (const auto& p : r.problems) console_.say("    problem: " + p);
        results_.push_back(std::move(r));
        // Without avhub there is nothing left to drive.
        if (!hub_->running() && i + 1 < stages.size()) {
            console_.say("  avhub is no longer running; the remaining stages are skipped");
            break;
        }
    }
    console_.stop();
    finish_box();
    return true;
}

bool Session::prepare() {
    std::error_code ec;
    fs::create_directories(settings_.run_dir + "/records", ec);
    fs::create_directories(kTivaneDir, ec);
    if (ec) {
        error_ = std::string("cannot make ") + kTivaneDir + ": " + ec.message();
        return false;
    }
    const std::pair<const char*, std::string> copies[] = {
        {clips::kBlack, std::string(kTivaneDir) + "/black.avi"},
        {clips::kAnimation, kClipOnBox},
        {clips::kTone5, std::string(kTivaneDir) + "/snd" + std::to_string(kToneKey) + ".711"}};
    for (const auto& [name, to] : copies) {
        fs::copy_file(settings_.cache_dir + "/" + name, to, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            error_ = "cannot put " + std::string(name) + " in place: " + ec.message();
            return false;
        }
    }
    return true;
}

bool Session::start_box() {
    // avhub's warnings also go to the system log; keep them with the rest.
    syslog_ = std::make_unique<harness::SyslogCapture>();
    boxsim::Options opts;
    // One capture of the whole run: every codec endpoint and the bridge's TCP link.
    opts.args = {"--roles", "codec,bridge,ui_app,quad_display", "--capture", settings_.run_dir + "/capture.pcapng"};
    opts.record_dir = settings_.run_dir + "/records";
    console_.say("starting boxsim: codec servers, bridge, user-interface application, quad display server");
    sim_ = boxsim::Boxsim::start(opts);
    if (!sim_) {
        error_ = "boxsim did not come up";
        return false;
    }
    const std::vector<std::string> args{"54", "1280", "720", "30", kCallBitRate, "1",
                                        std::to_string(settings_.call_seconds), "0", "0"};
    std::string line = "starting avhub";
    for (const auto& a : args) line += " " + a;
    console_.say(line + "   (H.264, 1280x720, 30 frames/s, " + kCallBitRate + " kbit/s, G.711 u-law, " +
                 std::to_string(settings_.call_seconds) + " s calls)");
    // avhub runs panectl through the shell: it must be on the path.
    const std::string bin_dir = fs::path(harness::bin("avhub")).parent_path().string();
    const char* path = std::getenv("PATH");
    harness::ProcOptions popts;
    popts.cwd = settings_.run_dir;
    popts.env["PATH"] = bin_dir + ":" + (path ? path : "/usr/bin:/bin");
    hub_ = harness::Proc::start("avhub", args, popts);
    if (!hub_->wait_stdout("AvHub PID", 20s) || !hub_->wait_stdout("waiting", 5s)) {
        error_ = "avhub did not come up";
        return false;
    }
    console_.say("avhub is connected to the twelve codec endpoints and serves " + std::string(kFifo));
    return true;
}

void Session::finish_box() {
    if (hub_ && hub_->running()) {
        hub_->kill_now();
        hub_->wait_exit(2s);
    }
    if (sim_) sim_->stop();
    write_logs();
    sim_.reset();
    hub_.reset();
    syslog_.reset();
    std::error_code ec;
    fs::remove(kFifo, ec);
}

void Session::write_logs() {
    const std::string& dir = settings_.run_dir;
    if (hub_) {
        harness::write_file(dir + "/avhub.log", hub_->stdout_text());
        harness::write_file(dir + "/avhub.stderr.log", hub_->stderr_text());
    }
    if (sim_) {
        harness::write_file(dir + "/boxsim.log", sim_->proc().stdout_text());
        harness::write_file(dir + "/boxsim.stderr.log", sim_->proc().stderr_text());
    }
    if (syslog_) {
        std::string text;
        for (const auto& e : syslog_->entries()) {
            std::string line = e.raw;
            while (!line.empty() && (line.back() == '\n' || line.back() == '\0')) line.pop_back();
            text += line + "\n";
        }
        harness::write_file(dir + "/syslog.log", text);
    }
}

std::size_t Session::hub_count(const std::string& needle) const { return hub_->count_stdout(needle); }

bool Session::wait_hub(const std::string& needle, std::size_t before, harness::Ms timeout) {
    return harness::wait_until([&] { return hub_count(needle) > before; }, timeout, 10ms);
}

bool Session::fifo(const std::string& text) {
    const std::size_t before = hub_count("fifo [");
    const int fd = ::open(kFifo, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) return false;
    // A command that blocks the loop (a tone, a bridge wait) delays the next
    // read by as long as it runs.
    return wait_hub("fifo [", before, 40s);
}

bool Session::sync() {
    const std::size_t before = hub_count("User Input");
    return fifo("demo_sync") && wait_hub("User Input", before, 40s);
}

std::string Session::bridge(const std::string& args) { return sim_->command("bridge " + args); }

std::vector<boxsim::ChunkEvent> Session::chunks_since(const std::string& ep, long long t0, int channel) const {
    return since(sim_->records().chunks(ep), t0, channel);
}

void Session::note_drops(checks::Tally& row, const std::string& ep, long long t0) const {
    long long n = 0;
    for (const auto& e : sim_->records().events("drop", ep))
        if (e.num("t", 0) >= t0) ++n;
    if (n == 0) return;
    if (!row.note.empty()) row.note += "; ";
    row.note += std::to_string(n) + " packets the " + ep + " endpoint could not write: avhub was not reading";
}

StageResult Session::loopback_call() {
    StageResult r{.title = "Loopback test call: 1280x720, 30 frames/s, H.264 video and G.711 u-law audio for " +
                           std::to_string(settings_.call_seconds) + " s"};
    console_.say("stage 1: \"start\" -> avhub opens the decoders and encoders and relays the encoders' output "
                 "back to the decoders until its test time runs out");
    const long long t0 = now_us();
    const std::size_t timeouts = hub_count("Time Out !!");
    if (!fifo("start")) r.problems.push_back("avhub did not read \"start\"");
    if (!wait_hub("Time Out !!", timeouts, std::chrono::seconds(settings_.call_seconds + 20)))
        r.problems.push_back("the call did not end at its test time");

    const auto& rec = sim_->records();
    Packets sent_v, got_v, got_a;
    std::string sent_a;
    auto collect = [&] {
        sent_v = checks::join_frames(since(rec.sent("T_EncStrm"), t0, 0));
        got_v = checks::payloads(chunks_since("T_DecStrm", t0));
        sent_a.clear();
        for (const auto& b : since(rec.sent("ado_enc_server_socket"), t0, 0)) sent_a += bytes_text(b.payload);
        got_a = checks::payloads(chunks_since("ado_dec_server_socket", t0, 0));
    };
    // The encoders stop at the close requests; what was already on its way
    // is still relayed.
    harness::wait_until(
        [&] {
            collect();
            return got_v.size() >= sent_v.size() && got_a.size() * kAudioBlock >= sent_a.size();
        },
        5s, 200ms);
    r.rows.push_back(checks::match_packets("video frames: encoder -> avhub -> video decoder", sent_v, got_v));
    note_drops(r.rows.back(), "T_EncStrm", t0);
    r.rows.push_back(
        checks::match_blocks("audio blocks: encoder -> avhub -> audio decoder", sent_a, got_a, kAudioBlock));
    note_drops(r.rows.back(), "ado_enc_server_socket", t0);
    return r;
}

StageResult Session::bridge_session() {
    StageResult r{.title = "Bridge session: \"vcb_start\", command dialogue, video both ways, \"vcb_stop\""};
    console_.say("stage 2: \"vcb_start\" -> avhub waits for the bridge on TCP ports 2004-2007; the bridge connects, "
                 "gets the call's video, sends requests and video of its own");
    const long long t0 = now_us();
    const auto& rec = sim_->records();
    const std::size_t starts = hub_count("start_test");
    if (!fifo("vcb_start")) r.problems.push_back("avhub did not read \"vcb_start\"");
    // avhub listens once its wait has begun.
    if (!harness::wait_until([&] { return hub_count("Start VCB Test!!") > 0; }, 5s))
        r.problems.push_back("no \"Start VCB Test!!\"");

    auto id_of = [&](const std::string& kind) {
        std::string reply;
        harness::wait_until([&] { return (reply = bridge("connect " + kind)).rfind("ok ", 0) == 0; }, 5s, 100ms);
        if (reply.rfind("ok ", 0) != 0) {
            r.problems.push_back("the bridge could not connect its " + kind + " link: " + reply);
            return -1;
        }
        return std::atoi(reply.c_str() + 3);
    };
    const int vcmd = id_of("vcmd");
    const int vbs = id_of("vbs");
    if (vcmd < 0 || vbs < 0) return r;
    if (!wait_hub("start_test", starts, 25s)) r.problems.push_back("the call did not start after the bridge came");

    // Let the call's video flow to the bridge for a while.
    harness::wait_until([&] { return events_since(rec, "bridge_video", t0, vbs).size() >= 45; }, 10s, 100ms);

    // The bridge's side of the dialogue: two requests, and video packets.
    const std::vector<std::pair<std::uint16_t, std::string>> requests{
        {wire::REQ_RECV_VDO_CAPABILITY, "width=1280 height=720 fr=30 bitrate=2048 chan=0"},
        {wire::REQ_SET_SID, "chan=0"}};
    Packets want_answers;
    for (const auto& [code, fields] : requests) {
        std::string reply = bridge("cmd " + std::to_string(vcmd) + " " + std::to_string(code) + " " + fields);
        if (reply.rfind("ok", 0) != 0) r.problems.push_back("bridge cmd " + std::to_string(code) + ": " + reply);
        want_answers.push_back(std::to_string(code + 1) + " agree=1");
    }
    constexpr int kBridgePackets = 12;
    std::string reply = bridge("video " + std::to_string(vbs) + " 0 2400 " + std::to_string(kBridgePackets));
    if (reply.rfind("ok", 0) != 0) r.problems.push_back("bridge video: " + reply);

    auto answers = [&] {
        Packets got;
        for (const auto& e : events_since(rec, "bridge_cmd", t0, vcmd)) {
            const long long code = e.num("u16Cmd");
            for (const auto& [req, fields] : requests)
                if (code == req + 1) got.push_back(std::to_string(code) + " agree=" + e.get("u8AgreeFlag"));
        }
        return got;
    };
    // avhub reads the bridge's links only while "vcb_start" services its
    // server: each further "vcb_start" is one service step (and restarts the
    // call), taking one command per link.
    for (int step = 0; step < 6; ++step) {
        if (answers().size() >= want_answers.size() &&
            chunks_since("T_DecStrm", t0).size() >= static_cast<std::size_t>(kBridgePackets))
            break;
        const std::size_t before = hub_count("start_test");
        if (!fifo("vcb_start") || !wait_hub("start_test", before, 25s)) {
            r.problems.push_back("a service step did not end");
            break;
        }
    }

    const std::size_t stops = hub_count("Stop Test!!");
    if (!fifo("stop") || !wait_hub("Stop Test!!", stops, 5s)) r.problems.push_back("the call did not stop");
    Packets sent_v, got_v, got_a;
    std::string sent_a;
    const std::string rx_file = settings_.run_dir + "/records/bridge.rx";
    auto collect = [&] {
        sent_v = checks::join_frames(since(rec.sent("T_EncStrm"), t0, 0));
        got_v = bridge_payloads(events_since(rec, "bridge_video", t0, vbs), harness::read_file(rx_file).value_or(""));
        sent_a.clear();
        for (const auto& b : since(rec.sent("ado_enc_server_socket"), t0, 0)) sent_a += bytes_text(b.payload);
        got_a = checks::payloads(chunks_since("ado_dec_server_socket", t0, 0));
    };
    harness::wait_until(
        [&] {
            collect();
            return got_v.size() >= sent_v.size() && got_a.size() * kAudioBlock >= sent_a.size();
        },
        5s, 200ms);

    const std::size_t vcb_stops = hub_count("Stop VCB Test!!");
    if (!fifo("vcb_stop") || !wait_hub("Stop VCB Test!!", vcb_stops, 5s))
        r.problems.push_back("no \"Stop VCB Test!!\"");
    if (!harness::wait_until([&] { return events_since(rec, "bridge_eof", t0).size() >= 2; }, 5s, 50ms))
        r.problems.push_back("avhub did not close the bridge's links");

    const Packets bridge_sent = bridge_payloads(events_since(rec, "bridge_sent", t0, vbs),
                                                harness::read_file(settings_.run_dir + "/records/bridge.tx").value_or(""));
    r.rows.push_back(checks::match_packets("call video frames: encoder -> avhub -> bridge", sent_v, got_v));
    note_drops(r.rows.back(), "T_EncStrm", t0);
    r.rows.push_back(checks::match_packets("bridge video packets: bridge -> avhub -> video decoder", bridge_sent,
                                           checks::payloads(chunks_since("T_DecStrm", t0))));
    r.rows.push_back(checks::match_packets("bridge requests answered by avhub", want_answers, answers()));
    r.rows.push_back(
        checks::match_blocks("call audio blocks: encoder -> avhub -> audio decoder", sent_a, got_a, kAudioBlock));
    note_drops(r.rows.back(), "ado_enc_server_socket", t0);
    return r;
}

StageResult Session::dtmf_tone() {
    StageResult r{.title = "DTMF tone of key 5: indicator on through panectl, tone to audio decoder channel 1, "
                           "indicator off"};
    console_.say("stage 3: \"dtmf 5\" -> avhub runs panectl against the quad display server and plays the key's "
                 "tone file");
    const long long t0 = now_us();
    if (!fifo("dtmf " + std::to_string(kToneKey)) || !sync()) r.problems.push_back("the tone did not end");
    const auto& rec = sim_->records();
    const Packets want_quad{padded("o t 9 1 ", 32), padded("o t 5 1 ", 32), padded("o t 9 0 ", 32),
                            padded("o t 5 0 ", 32)};
    auto quad = [&] {
        Packets got;
        for (const auto& e : events_since(rec, "quad", t0)) got.push_back(bytes_text(boxsim::from_hex(e.get("hex"))));
        return got;
    };
    harness::wait_until([&] { return quad().size() >= want_quad.size(); }, 5s, 50ms);
    const std::string tone = harness::read_file(settings_.cache_dir + "/" + clips::kTone5).value_or("");
    r.rows.push_back(checks::match_blocks("tone blocks: file -> avhub -> audio decoder ch 1", tone,
                                          checks::payloads(chunks_since("ado_dec_server_socket", t0, kToneChannel)),
                                          kAudioBlock));
    r.rows.push_back(checks::match_packets("display commands: panectl -> quad display", want_quad, quad()));
    return r;
}

StageResult Session::animation() {
    StageResult r{.title = "Animation clip between the two black clips, ending with the \"finish\" record"};
    console_.say(std::string("stage 4: \"play ") + kClipOnBox +
                 "\" -> avhub paces the black lead-in, the clip and the black trailer to the decoders, then "
                 "tells the user-interface application \"finish\"");
    const long long t0 = now_us();
    const auto& rec = sim_->records();
    if (!fifo(std::string("play ") + kClipOnBox + "\n")) r.problems.push_back("avhub did not read \"play\"");
    auto finished = [&] {
        Packets got;
        for (const auto& e : events_since(rec, "ui", t0)) got.push_back(bytes_text(boxsim::from_hex(e.get("hex"))));
        return got;
    };
    if (!harness::wait_until([&] { return !finished().empty(); }, 60s, 100ms))
        r.problems.push_back("no record reached the user-interface application");
    if (!sync()) r.problems.push_back("avhub did not answer after the clip");

    clips::Demuxed black, clip;
    std::string error;
    if (!clips::demux(settings_.cache_dir + "/" + clips::kBlack, black, error) ||
        !clips::demux(settings_.cache_dir + "/" + clips::kAnimation, clip, error)) {
        r.problems.push_back(error);
        return r;
    }
    Packets want_v = black.video;
    want_v.insert(want_v.end(), clip.video.begin(), clip.video.end());
    want_v.insert(want_v.end(), black.video.begin(), black.video.end());
    const std::string want_a = black.audio + clip.audio + black.audio;
    r.rows.push_back(checks::match_packets("clip video packets: lead-in, clip, trailer -> video decoder", want_v,
                                           checks::payloads(chunks_since("T_DecStrm", t0))));
    r.rows.push_back(checks::match_blocks(
        "clip audio blocks -> audio decoder ch 12", want_a,
        checks::payloads(chunks_since("ado_dec_server_socket", t0, kClipAudioChannel)), kAudioBlock));
    r.rows.push_back(checks::match_packets("\"finish\" record -> user-interface application",
                                           {padded("finish", 128)}, finished()));
    return r;
}

StageResult Session::close_hub() {
    StageResult r{.title = "\"close\": avhub closes its codec channels and ends with status 0"};
    console_.say("stage 5: \"close\" -> avhub sends its close requests, removes its FIFO and exits");
    const long long t0 = now_us();
    if (!fifo("close")) r.problems.push_back("avhub did not read \"close\"");
    const auto status = hub_->wait_exit(10s);
    if (!status) r.problems.push_back("avhub did not exit");
    else if (*status != 0) r.problems.push_back("avhub exited with status " + std::to_string(*status));
    if (harness::file_exists(kFifo)) r.problems.push_back(std::string(kFifo) + " is still there");
    // Sanitizer builds report memory and undefined-behaviour faults there.
    const std::string err = hub_->stderr_text();
    if (err.find("Sanitizer") != std::string::npos || err.find("runtime error") != std::string::npos)
        r.problems.push_back("avhub reported a fault on standard error (avhub.stderr.log)");

    const std::pair<const char*, std::uint16_t> expected[] = {{"T_EncCmd", wire::REQ_VDO_CLOSE},
                                                              {"T_DecCmd", wire::REQ_VDO_CLOSE},
                                                              {"ado_enc_cmd_socket", wire::REQ_ADO_CLOSE},
                                                              {"ado_dec_cmd_socket", wire::REQ_ADO_CLOSE}};
    Packets want, got;
    for (const auto& [ep, code] : expected) want.push_back(close_request(code));
    harness::wait_until(
        [&] {
            got.clear();
            for (const auto& [ep, code] : expected)
                for (const auto& c : sim_->records().commands(ep))
                    if (c.t_us >= t0) got.emplace_back(c.raw.begin(), c.raw.end());
            return got.size() >= want.size();
        },
        3s, 50ms);
    r.rows.push_back(checks::match_packets("close requests: avhub -> codec servers", want, got));
    return r;
}

}  // namespace demo
