#include "tshark_view.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "harness/proc.hpp"

namespace dissect {

namespace {

// The value of attribute key="..." on a PDML line, unescaped.
std::optional<std::string> attr(const std::string& line, const char* key) {
    const std::string pat = std::string(" ") + key + "=\"";
    const auto at = line.find(pat);
    if (at == std::string::npos) return std::nullopt;
    const auto from = at + pat.size();
    const auto to = line.find('"', from);
    if (to == std::string::npos) return std::nullopt;
    std::string raw = line.substr(from, to - from), out;
    static const std::pair<const char*, char> kEntities[] = {
        {"&quot;", '"'}, {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&apos;", '\''}};
    for (std::size_t i = 0; i < raw.size();) {
        bool done = false;
        for (const auto& [ent, ch] : kEntities) {
            const std::string e(ent);
            if (raw.compare(i, e.size(), e) == 0) {
                out += ch;
                i += e.size();
                done = true;
                break;
            }
        }
        if (!done) out += raw[i++];
    }
    return out;
}

const std::set<std::string> kExperts = {"avbox.bad_magic", "avbox.bad_length", "avbox.cut_short", "avbox.resync",
                                        "avbox.bad_stream_type", "avbox.unknown_cmd", "avbox.refused",
                                        "avbox.no_request"};

}  // namespace

std::string tshark_path() {
    for (const char* p : {"/usr/bin/tshark", "/usr/local/bin/tshark"})
        if (::access(p, X_OK) == 0) return p;
    return {};
}

std::optional<View> run_tshark(const std::string& capture, int timeout_s, const std::vector<std::string>& extra) {
    const std::string exe = tshark_path();
    if (exe.empty()) return std::nullopt;
    std::vector<std::string> args{"-n", "-2", "-X", "lua_script:" AVBOX_DISSECTOR, "-r", capture, "-T", "pdml",
                                  "-Y", "avbox || tcp.len > 0"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto proc = harness::Proc::start(exe, args);
    const auto status = proc->wait_exit(std::chrono::seconds(timeout_s));
    if (!status || *status != 0) return std::nullopt;
    View v;
    v.errors = proc->stderr_text();
    Record head;                    // the frame's own fields
    // The record being read; a plain value and a flag rather than an
    // optional, which g++ 12 wrongly warns about at -O2.
    Record current;
    bool reading = false;
    auto finish = [&] {
        if (reading) v.records.push_back(std::move(current));
        reading = false;
    };
    std::istringstream in(proc->stdout_text());
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("Lua Error") != std::string::npos || line.find("_ws.lua.error") != std::string::npos)
            v.lua_error = true;
        if (line.find("<packet>") != std::string::npos) {
            finish();
            head = Record{};
            continue;
        }
        if (line.find("</proto>") != std::string::npos) {
            finish();
            continue;
        }
        const auto name = attr(line, "name");
        if (!name) continue;
        const std::string show = attr(line, "show").value_or("");
        if (*name == "num") head.frame = std::atoi(show.c_str());
        else if (*name == "frame.interface_name") head.iface = show;
        else if (*name == "tcp.stream") head.stream = std::atoi(show.c_str());
        else if (*name == "tcp.srcport") head.src_port = std::atoi(show.c_str());
        else if (*name == "tcp.dstport") head.dst_port = std::atoi(show.c_str());
        if (kExperts.count(*name)) {
            v.experts[head.stream].insert(*name);
            continue;
        }
        if (*name == "avbox.record") {
            finish();
            current = head;
            reading = true;
            current.f[*name] = attr(line, "value").value_or("");
            continue;
        }
        if (reading && name->rfind("avbox.", 0) == 0)
            current.f[*name] = show;
    }
    finish();
    return v;
}

}  // namespace dissect
