// One whole session of the box: boxsim with every role, avhub started with
// the call settings, and five stages driven through avhub's control FIFO as
// an outside program on the box would drive it. Each stage ends with a
// comparison of what was sent with what arrived, item by item, from one
// snapshot of boxsim's records (stage_*.cpp: one file per stage).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "boxsim/client.hpp"
#include "checks.hpp"
#include "console.hpp"
#include "flows.hpp"
#include "harness/proc.hpp"
#include "harness/syslog.hpp"
#include "snapshot.hpp"

namespace demo {

// A fault planted in boxsim's records of what a receiver got, for tests of
// the accounting only (boxdemo --plant): before stage `stage` begins,
// boxsim is told "plant FAULT WHERE N".
struct Plant {
    int stage = 0;
    std::string fault, where;
    int n = 5;
};

struct Settings {
    std::string run_dir;    // logs and records are kept here
    std::string cache_dir;  // clips made once with ffmpeg
    int call_seconds = 10;  // length of the loopback call
    int width = 1280, height = 720;  // picture size of the calls
    std::vector<Plant> plants;       // none unless a test asks
};

struct StageResult {
    std::string title;
    std::vector<checks::Tally> rows;
    std::vector<std::string> problems;  // anything else that went wrong
    double seconds = 0;                 // how long the stage ran

    bool ok() const;
};

class Session {
public:
    Session(Settings settings, Console& console);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs the five stages; false when the box could not be brought up
    // (the reason is in error()).
    bool run();
    const std::vector<StageResult>& results() const { return results_; }
    const std::string& error() const { return error_; }
    // Contact sheets and WAV files the decoders kept, for the closing list.
    std::vector<std::string> media_files() const { return media_files_; }

private:
    // One row's flow: the items sent, what came at the receiver, and how
    // they compare. `dest` names the receiver and channel, so that an item
    // an earlier stage waited for in vain is known again if it comes late.
    struct Flow {
        std::string title;
        std::string dest;
        std::vector<checks::Sent> sent;
        flows::Received got;
        checks::Compare compare = checks::Compare::Bytes;
        long long errors = 0;  // decode errors on the way
    };

    bool prepare();
    bool start_box();
    void finish_box();
    void write_logs();

    StageResult loopback_call();
    StageResult bridge_session();
    StageResult dtmf_tone();
    StageResult animation();
    StageResult close_hub();

    // One command into /dev/avhub, in one write; waits until avhub has
    // read it, so that two commands never share one read.
    bool fifo(const std::string& text);
    // Waits until avhub has printed more lines holding needle than before.
    bool wait_hub(const std::string& needle, std::size_t before, harness::Ms timeout);
    std::size_t hub_count(const std::string& needle) const;
    // An unknown word: avhub echoes it once every earlier command is done.
    bool sync();
    std::string bridge(const std::string& args);

    // The records of the stage about to run, from where the last stage's
    // ended; ends the stage's window where its last refresh ended.
    Snapshot open_window() const;
    void close_window(const Snapshot& snap) { window_ = snap.end(); }
    // Refreshes the snapshot until done() holds on it or the deadline passes.
    bool settle(Snapshot& snap, const std::function<bool()>& done, harness::Ms timeout) const;
    // Refreshes the snapshot until every item the flows' senders sent is
    // accounted for at their receivers (and `also` holds), or the records
    // have stayed as they are for a while (nothing more is coming), or the
    // deadline passes.
    void await_arrivals(Snapshot& snap, const std::function<std::vector<Flow>()>& build,
                        const std::function<bool()>& also = [] { return true; }) const;
    // Matches a flow. An arrival that is no item of it but one an earlier
    // stage waited for in vain is left out (and its index in late_ added to
    // `claimed`): it is named in that stage's row instead.
    checks::Matching account(const Flow& f, std::vector<std::size_t>* claimed = nullptr) const;
    // The rows of the stage's flows from the final snapshot; keeps what
    // never came, and names late items of earlier stages where they belong.
    void add_rows(StageResult& r, const std::vector<Flow>& flows);

    // Items a stage waited for in vain: if they come during a later stage,
    // they are that stage's late items, not the later stage's extras.
    struct Late {
        std::string dest, data, label;
        std::size_t stage = 0, row = 0;
    };
    std::vector<Late> late_;

    std::vector<std::string> media_files_;
    Settings settings_;
    Console& console_;
    std::string error_;
    std::unique_ptr<harness::SyslogCapture> syslog_;
    std::unique_ptr<boxsim::Boxsim> sim_;
    std::unique_ptr<harness::Proc> hub_;
    std::vector<StageResult> results_;
    std::uint64_t window_ = 0;  // where the next stage's records begin in events.tsv
};

}  // namespace demo
