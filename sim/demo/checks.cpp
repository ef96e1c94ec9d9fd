#include "checks.hpp"

#include <algorithm>
#include <utility>

namespace demo::checks {

namespace {

constexpr unsigned kWhole = 3, kFirst = 1, kMiddle = 0, kLast = 2;

std::string text_of(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

void count_note(Tally& t, const char* what) {
    if (t.sent == t.arrived) return;
    if (!t.note.empty()) t.note += "; ";
    const long long diff = t.sent - t.arrived;
    t.note += diff > 0 ? std::to_string(diff) + " " + what + " missing"
                       : std::to_string(-diff) + " " + what + " more than sent";
}

}  // namespace

Packets join_frames(const std::vector<boxsim::ChunkEvent>& pieces) {
    Packets frames;
    std::string open;
    bool in_frame = false;
    for (const auto& p : pieces) {
        const std::string data = text_of(p.payload);
        switch (p.flags) {
        case kWhole:
            frames.push_back(data);
            in_frame = false;
            break;
        case kFirst:
            open = data;
            in_frame = true;
            break;
        case kMiddle:
            if (in_frame) open += data;
            break;
        case kLast:
            if (in_frame) frames.push_back(open + data);
            in_frame = false;
            break;
        default:
            break;
        }
    }
    return frames;
}

Packets payloads(const std::vector<boxsim::ChunkEvent>& chunks) {
    Packets out;
    out.reserve(chunks.size());
    for (const auto& c : chunks) out.push_back(text_of(c.payload));
    return out;
}

Tally match_packets(std::string flow, const Packets& sent, const Packets& arrived) {
    Tally t{.flow = std::move(flow),
            .sent = static_cast<long long>(sent.size()),
            .arrived = static_cast<long long>(arrived.size())};
    const std::size_t n = std::min(sent.size(), arrived.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (sent[i] == arrived[i]) {
            ++t.matched;
        } else if (t.note.empty() || t.note.find("differs") == std::string::npos) {
            t.note = "packet " + std::to_string(i) + " differs (" + std::to_string(sent[i].size()) + " bytes sent, " +
                     std::to_string(arrived[i].size()) + " arrived)";
        }
    }
    count_note(t, "packets");
    return t;
}

Tally match_blocks(std::string flow, const std::string& sent, const Packets& arrived, std::size_t block) {
    Tally t{.flow = std::move(flow), .arrived = static_cast<long long>(arrived.size())};
    if (block == 0) {
        t.note = "no block size";
        return t;
    }
    t.sent = static_cast<long long>(sent.size() / block);
    std::size_t at = 0;
    for (std::size_t i = 0; i < arrived.size(); ++i) {
        const std::string& b = arrived[i];
        if (b.size() == block && at + block <= sent.size() && sent.compare(at, block, b) == 0) {
            ++t.matched;
        } else if (t.note.find("differs") == std::string::npos) {
            t.note = "block " + std::to_string(i) + " differs";
        }
        at += b.size();
    }
    count_note(t, "blocks");
    return t;
}

}  // namespace demo::checks
