// Runs tshark with the dissector over a capture and reads back, from its
// PDML output, every record the dissector decoded (with the frame,
// interface and TCP stream it came in) and the expert items it raised.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace dissect {

struct Record {
    int frame = 0;
    std::string iface;  // pcapng interface name: the endpoint's path
    int stream = -1;    // tcp.stream
    int src_port = 0, dst_port = 0;
    std::map<std::string, std::string> f;  // "avbox.u16Cmd" -> "513"; "avbox.record" -> the record's hex
    std::string get(const std::string& name) const {
        auto it = f.find(name);
        return it == f.end() ? std::string() : it->second;
    }
};

struct View {
    std::vector<Record> records;
    std::map<int, std::set<std::string>> experts;  // tcp.stream -> avbox expert names raised in it
    bool lua_error = false;
    std::string errors;  // tshark's standard error
};

// /usr/bin/tshark or the one on PATH; empty when not installed.
std::string tshark_path();
// Two passes, so requests show the frame of their answer. nullopt when
// tshark failed to run or did not end within the timeout.
std::optional<View> run_tshark(const std::string& capture, int timeout_s = 120,
                               const std::vector<std::string>& extra = {});

}  // namespace dissect
