// One whole session of the box: boxsim with every role, avhub started with
// the call settings, and five stages driven through avhub's control FIFO as
// an outside program on the box would drive it. Each stage ends with a
// comparison of what was sent with what arrived.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "boxsim/client.hpp"
#include "checks.hpp"
#include "console.hpp"
#include "harness/proc.hpp"
#include "harness/syslog.hpp"

namespace demo {

struct Settings {
    std::string run_dir;    // logs and records are kept here
    std::string cache_dir;  // clips made once with ffmpeg
    int call_seconds = 10;  // length of the loopback call
    int width = 1280, height = 720;  // picture size of the calls
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

private:
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
    // Chunks a decoder endpoint received since t0 on one channel (-1: any).
    std::vector<boxsim::ChunkEvent> chunks_since(const std::string& ep, long long t0, int channel = -1) const;
    // Packets an encoder endpoint could not write since t0 because avhub
    // was not reading: named in the row's note, as they explain a loss.
    void note_drops(checks::Tally& row, const std::string& ep, long long t0) const;
    // MD5s of the pictures (kind "picture") or blocks ("sound") an endpoint
    // decoded since t0 on a channel, and the decode errors there.
    std::vector<std::string> digests(const char* kind, const std::string& ep, long long t0, int channel) const;
    long long decode_errors(const std::string& ep, long long t0, int channel) const;

public:
    // Contact sheets and WAV files the decoders kept, for the closing list.
    std::vector<std::string> media_files() const { return media_files_; }

private:
    std::vector<std::string> media_files_;

    Settings settings_;
    Console& console_;
    std::string error_;
    std::unique_ptr<harness::SyslogCapture> syslog_;
    std::unique_ptr<boxsim::Boxsim> sim_;
    std::unique_ptr<harness::Proc> hub_;
    std::vector<StageResult> results_;
};

}  // namespace demo
