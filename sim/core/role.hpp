// What every simulated role gets from the core, and what it gives back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/control.hpp"
#include "core/loop.hpp"
#include "core/planted.hpp"
#include "core/record.hpp"

namespace sim::core {

// Settings from the command line. Roles read the fields that concern them.
struct Settings {
    std::vector<std::string> roles{"codec"};
    std::string record_dir = "/tmp/boxsim";
    std::string control_path = "/tmp/boxsim.ctl";
    std::uint32_t seed = 1;
    std::string capture_path;  // pcapng of every endpoint; empty: none
    // codec role
    std::vector<std::pair<std::string, int>> late;  // endpoint, seconds
    std::vector<std::string> refuse;
    int grant_channel = -1;  // -1: grant the requested channel
    bool replies = true;
    bool autostream = true;
    std::size_t piece_bytes = 1400;
    int audio_period_ms = 20;
    bool real_media = false;  // libavcodec encoders and decoders instead of synthetic bytes
    bool plant_faults = false;  // the "plant" control command (tests of the demo's accounting only)
};

struct Context {
    Loop& loop;
    Recorder& rec;
    Control& control;
    const Settings& settings;
    // Faults planted in the receivers' records; null unless --plant-faults.
    Planted* planted = nullptr;
};

// Standard output, one flushed line per call, prefixed with "boxsim: ".
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

class Role {
public:
    virtual ~Role() = default;
    // Opens the role's sockets and registers its control commands; the
    // role's endpoints are all up (or scheduled) when it returns 0; -2 when
    // its settings are unusable (exit status 2), -1 on other failures.
    virtual int start() = 0;
    // Lines for the end-of-run summary.
    virtual void summary() = 0;
};

}  // namespace sim::core
