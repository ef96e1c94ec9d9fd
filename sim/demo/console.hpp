// The demo's terminal output: ordinary lines, and one live progress line
// under them (stage, elapsed time, what the box has relayed so far), counted
// from boxsim's event record as it grows. On a terminal the progress line is
// redrawn in place; into a pipe or file it is written as a plain line every
// few seconds, so a log of the run stays readable.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace demo {

// Counts of relayed traffic, from event lines of the record.
struct Traffic {
    long long video_frames = 0;   // video the decoder or the bridge received from avhub
    long long audio_blocks = 0;   // audio blocks the audio decoder received
    long long bridge_packets = 0; // video packets over the bridge link, both ways
    long long clip_packets = 0;   // packets delivered while the clip plays

    // Adds one event line ("ev=KIND<TAB>ep=EP<TAB>..."); clip says whether
    // the clip stage is running.
    void add(const std::string& line, bool clip);
};

class Console {
public:
    explicit Console(std::FILE* out);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Starts the progress line, counting from the record file at path.
    void start(const std::string& events_path);
    // Stops it and clears the line.
    void stop();
    void stage(int number, int total, const std::string& name);
    // One line of text above the progress line.
    void say(const std::string& text);

private:
    void run();
    void poll_record();
    std::string progress_text() const;
    void draw_locked(bool final_line);

    std::FILE* out_;
    bool tty_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::thread thread_;
    std::string events_path_;
    long long read_offset_ = 0;
    std::string partial_;
    Traffic traffic_;
    std::string stage_ = "starting";
    bool clip_stage_ = false;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_plain_{};
};

}  // namespace demo
