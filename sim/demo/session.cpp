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
#include "media/codecs.hpp"
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
// The bridge appends a payload to FILE before it records the event, so the
// events are read first and FILE after them: every event read then has its
// bytes there.
Packets bridge_payloads(const boxsim::Records& rec, std::string_view kind, long long t0, long long conn,
                        const std::string& file) {
    const std::vector<boxsim::Event> evs = events_since(rec, kind, t0, conn);
    const std::string data = harness::read_file(file).value_or("");
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
    std::vector<std::pair<std::string, std::string>> copies{{clips::kBlack, std::string(kTivaneDir) + "/black.avi"},
                                                            {clips::kAnimation, kClipOnBox}};
    for (int key = 0; key < clips::kKeys; ++key)
        copies.emplace_back(clips::tone_file(key), std::string(kTivaneDir) + "/" + clips::tone_file(key));
    for (const auto& [name, to] : copies) {
        fs::copy_file(settings_.cache_dir + "/" + name, to, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            error_ = "cannot put " + name + " in place: " + ec.message();
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
    opts.args = {"--roles", "codec,bridge,ui_app,quad_display", "--real-media", "--capture", settings_.run_dir + "/capture.pcapng"};
    opts.record_dir = settings_.run_dir + "/records";
    console_.say("starting boxsim: codec servers, bridge, user-interface application, quad display server");
    sim_ = boxsim::Boxsim::start(opts);
    if (!sim_) {
        error_ = "boxsim did not come up";
        return false;
    }
    const std::string size = std::to_string(settings_.width) + "x" + std::to_string(settings_.height);
    const std::vector<std::string> args{"54", std::to_string(settings_.width), std::to_string(settings_.height), "30",
                                        kCallBitRate, "1", std::to_string(settings_.call_seconds), "0", "0"};
    std::string line = "starting avhub";
    for (const auto& a : args) line += " " + a;
    console_.say(line + "   (H.264, " + size + ", 30 frames/s, " + kCallBitRate + " kbit/s, G.711 u-law, " +
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
    if (sim_) {
        sim_->stop();
        // The decoders' last word on each stream names its files.
        for (const auto& e : sim_->records().events("decoder"))
            for (const char* key : {"sheet", "wav"}) {
                const std::string path = e.get(key);
                if (!path.empty() && path != "unwritten" &&
                    std::find(media_files_.begin(), media_files_.end(), path) == media_files_.end())
                    media_files_.push_back(path);
            }
    }
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

std::vector<std::string> Session::digests(const char* kind, const std::string& ep, long long t0, int channel) const {
    std::vector<std::string> out;
    for (const auto& e : sim_->records().events(kind, ep))
        if (e.num("t", 0) >= t0 && e.num("ch") == channel) out.push_back(e.get("md5"));
    return out;
}

long long Session::decode_errors(const std::string& ep, long long t0, int channel) const {
    long long n = 0;
    for (const auto& e : sim_->records().events("decode_error", ep))
        if (e.num("t", 0) >= t0 && e.num("ch") == channel) n += e.num("errors", 1);
    return n;
}

StageResult Session::loopback_call() {
    StageResult r{.title = "Loopback test call: " + std::to_string(settings_.width) + "x" +
                           std::to_string(settings_.height) + ", 30 frames/s, H.264 video and G.711 u-law audio for " +
                           std::to_string(settings_.call_seconds) + " s"};
    console_.say("stage 1: \"start\" -> avhub opens the decoders and encoders and relays the encoders' output "
                 "back to the decoders until its test time runs out");
    const long long t0 = now_us();
    const std::size_t timeouts = hub_count("Time Out !!");
    if (!fifo("start")) r.problems.push_back("avhub did not read \"start\"");
    if (!wait_hub("Time Out !!", timeouts, std::chrono::seconds(settings_.call_seconds + 20)))
        r.problems.push_back("the call did not end at its test time");

    const auto& rec = sim_->records();
    Packets sent_v, got_v, got_a, enc_pics, dec_pics, enc_snd, dec_snd;
    std::string sent_a;
    // What arrived is read before what was sent: everything read as arrived
    // was then sent already, so the counts are equal only when nothing is
    // on its way, however slowly the records are read.
    auto collect = [&] {
        got_v = checks::payloads(chunks_since("T_DecStrm", t0));
        got_a = checks::payloads(chunks_since("ado_dec_server_socket", t0, 0));
        dec_pics = digests("picture", "T_DecStrm", t0, 0);
        dec_snd = digests("sound", "ado_dec_server_socket", t0, 0);
        sent_v = checks::join_frames(since(rec.sent("T_EncStrm"), t0, 0));
        sent_a.clear();
        for (const auto& b : since(rec.sent("ado_enc_server_socket"), t0, 0)) sent_a += bytes_text(b.payload);
        enc_pics = digests("picture", "T_EncStrm", t0, 0);
        enc_snd = digests("sound", "ado_enc_server_socket", t0, 0);
    };
    // The encoders stop at the close requests; what was already on its way
    // is still relayed.
    harness::wait_until(
        [&] {
            collect();
            return got_v.size() >= sent_v.size() && got_a.size() * kAudioBlock >= sent_a.size() &&
                   dec_pics.size() >= enc_pics.size() && dec_snd.size() >= enc_snd.size();
        },
        5s, 200ms);
    r.rows.push_back(checks::match_packets("video frames: encoder -> avhub -> video decoder", sent_v, got_v));
    note_drops(r.rows.back(), "T_EncStrm", t0);
    r.rows.push_back(
        checks::match_blocks("audio blocks: encoder -> avhub -> audio decoder", sent_a, got_a, kAudioBlock));
    note_drops(r.rows.back(), "ado_enc_server_socket", t0);
    r.rows.push_back(checks::match_digests("decoded pictures (MD5): encoder's own decode = video decoder's", enc_pics,
                                           dec_pics, decode_errors("T_DecStrm", t0, 0)));
    r.rows.push_back(checks::match_digests("decoded audio blocks (MD5): encoder's own decode = audio decoder's",
                                           enc_snd, dec_snd, decode_errors("ado_dec_server_socket", t0, 0)));
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
    Packets sent_v, got_v, got_a, enc_pics, bridge_rx, bridge_tx, dec_pics;
    std::string sent_a;
    const std::string rx_file = settings_.run_dir + "/records/bridge.rx";
    // Arrivals first, as in the loopback call: the encoders may still be
    // sending what was on its way at "stop".
    auto collect = [&] {
        got_v = bridge_payloads(rec, "bridge_video", t0, vbs, rx_file);
        got_a = checks::payloads(chunks_since("ado_dec_server_socket", t0, 0));
        bridge_rx = digests("picture", "bridge_rx", t0, vbs);
        dec_pics = digests("picture", "T_DecStrm", t0, 0);
        sent_v = checks::join_frames(since(rec.sent("T_EncStrm"), t0, 0));
        sent_a.clear();
        for (const auto& b : since(rec.sent("ado_enc_server_socket"), t0, 0)) sent_a += bytes_text(b.payload);
        enc_pics = digests("picture", "T_EncStrm", t0, 0);
        bridge_tx = digests("picture", "bridge_tx", t0, vbs);
    };
    harness::wait_until(
        [&] {
            collect();
            return got_v.size() >= sent_v.size() && got_a.size() * kAudioBlock >= sent_a.size() &&
                   bridge_rx.size() >= enc_pics.size() && dec_pics.size() >= bridge_tx.size();
        },
        5s, 200ms);

    const std::size_t vcb_stops = hub_count("Stop VCB Test!!");
    if (!fifo("vcb_stop") || !wait_hub("Stop VCB Test!!", vcb_stops, 5s))
        r.problems.push_back("no \"Stop VCB Test!!\"");
    if (!harness::wait_until([&] { return events_since(rec, "bridge_eof", t0).size() >= 2; }, 5s, 50ms))
        r.problems.push_back("avhub did not close the bridge's links");

    const Packets bridge_sent =
        bridge_payloads(rec, "bridge_sent", t0, vbs, settings_.run_dir + "/records/bridge.tx");
    r.rows.push_back(checks::match_packets("call video frames: encoder -> avhub -> bridge", sent_v, got_v));
    note_drops(r.rows.back(), "T_EncStrm", t0);
    r.rows.push_back(checks::match_packets("bridge video packets: bridge -> avhub -> video decoder", bridge_sent,
                                           checks::payloads(chunks_since("T_DecStrm", t0))));
    r.rows.push_back(checks::match_digests("call pictures (MD5): encoder's own decode = bridge's decode", enc_pics,
                                           bridge_rx, decode_errors("bridge_rx", t0, vbs)));
    r.rows.push_back(checks::match_digests("bridge pictures (MD5): bridge's own decode = video decoder's", bridge_tx,
                                           dec_pics, decode_errors("T_DecStrm", t0, 0)));
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
    const std::string tone = harness::read_file(settings_.cache_dir + "/" + clips::tone_file(kToneKey)).value_or("");
    r.rows.push_back(checks::match_blocks("tone blocks: file -> avhub -> audio decoder ch 1", tone,
                                          checks::payloads(chunks_since("ado_dec_server_socket", t0, kToneChannel)),
                                          kAudioBlock));
    r.rows.push_back(checks::match_packets("display commands: panectl -> quad display", want_quad, quad()));

    // The tone file itself, decoded block by block as the decoder must.
    std::vector<std::string> want_snd;
    std::vector<std::int16_t> file_pcm, block_pcm;
    std::string why;
    if (auto dec = sim::media::AudioDecoder::open(wire::STD_G711U, why)) {
        for (std::size_t at = 0; at + kAudioBlock <= tone.size(); at += kAudioBlock) {
            block_pcm.clear();
            dec->decode({reinterpret_cast<const std::uint8_t*>(tone.data()) + at, kAudioBlock}, block_pcm);
            want_snd.push_back(sim::media::md5_hex({reinterpret_cast<const std::uint8_t*>(block_pcm.data()),
                                                    block_pcm.size() * sizeof(std::int16_t)}));
            file_pcm.insert(file_pcm.end(), block_pcm.begin(), block_pcm.end());
        }
    } else {
        r.problems.push_back(why);
    }
    const std::string key = std::to_string(kToneKey);
    r.rows.push_back(checks::match_key("tone file " + clips::tone_file(kToneKey) + " is DTMF key " + key + " (Goertzel)",
                                       kToneKey, file_pcm, 8000));
    // The decoder brings its WAV file up to date when the channel closes.
    harness::wait_until(
        [&] {
            for (const auto& e : events_since(rec, "decoder", t0))
                if (e.get("ep") == "ado_dec_server_socket" && e.num("ch") == kToneChannel && e.get("state") == "end")
                    return true;
            return false;
        },
        5s, 50ms);
    r.rows.push_back(checks::match_digests("decoded tone blocks (MD5): file = audio decoder ch 1", want_snd,
                                           digests("sound", "ado_dec_server_socket", t0, kToneChannel),
                                           decode_errors("ado_dec_server_socket", t0, kToneChannel)));
    std::vector<std::int16_t> wav_pcm;
    int rate = 0;
    const std::string wav = settings_.run_dir + "/records/ado_dec_server_socket.ch" + std::to_string(kToneChannel) + ".wav";
    if (!checks::parse_wav(harness::read_file(wav).value_or(""), wav_pcm, rate)) r.problems.push_back("no WAV file " + wav);
    r.rows.push_back(checks::match_key("decoded tone on audio decoder ch 1 is DTMF key " + key + " (Goertzel)",
                                       kToneKey, wav_pcm, rate));
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

    // What the decoder shows, against the ffmpeg tool's decode of the files.
    clips::Digests black_d, clip_d;
    if (!clips::framemd5(settings_.cache_dir + "/" + clips::kBlack, black_d, error) ||
        !clips::framemd5(settings_.cache_dir + "/" + clips::kAnimation, clip_d, error)) {
        r.problems.push_back(error);
        return r;
    }
    std::vector<std::string> want_pics = black_d.md5;
    want_pics.insert(want_pics.end(), clip_d.md5.begin(), clip_d.md5.end());
    want_pics.insert(want_pics.end(), black_d.md5.begin(), black_d.md5.end());
    const auto got_pics = digests("picture", "T_DecStrm", t0, 0);
    r.rows.push_back(checks::match_digests("clip pictures (MD5) = ffmpeg -f framemd5: lead-in, clip, trailer",
                                           want_pics, got_pics, decode_errors("T_DecStrm", t0, 0)));
    r.rows.push_back(checks::match_black("lead-in and trailer pictures are black", got_pics, black_d.md5.size(),
                                         clip_d.md5.size(), clips::black_md5(black_d.width, black_d.height)));
    // Lip sync: when the clip's first picture and its first sound reached
    // their decoders (the lead-in's packets come before them).
    const auto v = chunks_since("T_DecStrm", t0);
    const auto a = chunks_since("ado_dec_server_socket", t0, kClipAudioChannel);
    const std::size_t vi = black.video.size(), ai = black.audio.size() / kAudioBlock;
    r.rows.push_back(checks::lip_sync("lip sync: clip video against clip audio, as delivered",
                                      vi < v.size() ? v[vi].t_us : -1, ai < a.size() ? a[ai].t_us : -1));
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
