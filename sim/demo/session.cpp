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
#include "stages.hpp"
#include "wire/codes.hpp"
#include "wire/fields.hpp"

namespace demo {

namespace fs = std::filesystem;
using namespace stage;

std::string stage::close_request(std::uint16_t code) {
    std::array<std::uint8_t, wire::kCodecCmdSize> raw{};
    wire::CodecCmd c{};
    c.u16Cmd = code;
    std::copy(wire::kMagic.begin(), wire::kMagic.end(), raw.begin());
    wire::store_cmd_fields(raw.data(), c);
    return {raw.begin(), raw.end()};
}

std::string stage::padded(const std::string& text, std::size_t size) {
    std::string out = text;
    out.resize(size, '\0');
    return out;
}

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
        std::vector<std::string> planting;
        for (const auto& p : settings_.plants) {
            if (p.stage != static_cast<int>(i + 1)) continue;
            const std::string line = "plant " + p.fault + " " + p.where + " " + std::to_string(p.n);
            const std::string reply = sim_->command(line);
            console_.say("  test fault: " + line + ": " + reply);
            if (reply != "ok") planting.push_back("boxsim refused \"" + line + "\": " + reply);
        }
        StageResult r = (this->*stages[i].run)();
        r.problems.insert(r.problems.end(), planting.begin(), planting.end());
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
    if (!settings_.plants.empty()) opts.args.emplace_back("--plant-faults");
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

Snapshot Session::open_window() const {
    Snapshot snap(settings_.run_dir + "/records", window_);
    snap.refresh();
    return snap;
}

bool Session::settle(Snapshot& snap, const std::function<bool()>& done, harness::Ms timeout) const {
    return harness::wait_until(
        [&] {
            snap.refresh();
            return done();
        },
        timeout, 100ms);
}

void Session::await_arrivals(Snapshot& snap, const std::function<std::vector<Flow>()>& build,
                             const std::function<bool()>& also) const {
    std::uint64_t seen = snap.end();
    auto changed = std::chrono::steady_clock::now();
    settle(
        snap,
        [&] {
            const auto all = build();
            if (also() && std::all_of(all.begin(), all.end(), [&](const Flow& f) { return account(f).unaccounted == 0; }))
                return true;
            const auto now = std::chrono::steady_clock::now();
            if (snap.end() != seen) {
                seen = snap.end();
                changed = now;
            }
            return now - changed >= harness::scaled(kQuiet);
        },
        kArrivalWait);
}

checks::Matching Session::account(const Flow& f, std::vector<std::size_t>* claimed) const {
    auto match = [&](const std::vector<checks::Arrival>& on) {
        checks::Matching m = checks::match_items(f.title, f.sent, on, f.compare, f.got.elsewhere);
        m.tally.errors = f.errors;
        if (f.errors > 0) m.tally.say(std::to_string(f.errors) + " decode errors");
        return m;
    };
    checks::Matching m = match(f.got.on);
    std::vector<bool> drop(f.got.on.size(), false);
    bool any = false;
    for (long j : m.unsent)
        for (std::size_t l = 0; l < late_.size(); ++l)
            if (late_[l].dest == f.dest && late_[l].data == f.got.on[static_cast<std::size_t>(j)].data) {
                drop[static_cast<std::size_t>(j)] = any = true;
                if (claimed && std::find(claimed->begin(), claimed->end(), l) == claimed->end()) claimed->push_back(l);
                break;
            }
    if (!any) return m;
    std::vector<checks::Arrival> on;
    for (std::size_t j = 0; j < f.got.on.size(); ++j)
        if (!drop[j]) on.push_back(f.got.on[j]);
    return match(on);
}

void Session::add_rows(StageResult& r, const std::vector<Flow>& flows) {
    const std::size_t stage_index = results_.size();
    std::vector<Late> keep;
    std::vector<std::size_t> claimed;
    for (const auto& f : flows) {
        const checks::Matching m = account(f, &claimed);
        for (std::size_t i = 0; i < f.sent.size(); ++i)
            if (f.sent[i].left && m.arrival_of[i] < 0)
                keep.push_back({f.dest, f.sent[i].data, f.sent[i].label, stage_index, r.rows.size()});
        r.rows.push_back(m.tally);
    }
    // Late items of earlier stages are named in their own rows.
    std::sort(claimed.rbegin(), claimed.rend());
    for (std::size_t l : claimed) {
        const Late& late = late_[l];
        results_[late.stage].rows[late.row].say(late.label + " came after the stage ended, during stage " +
                                                std::to_string(stage_index + 1));
        late_.erase(late_.begin() + static_cast<std::ptrdiff_t>(l));
    }
    late_.insert(late_.end(), keep.begin(), keep.end());
}

}  // namespace demo
