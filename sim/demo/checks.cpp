#include "checks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <sstream>
#include <utility>

namespace demo::checks {

namespace {

void count_note(Tally& t, const char* what) {
    if (t.sent == t.arrived) return;
    const long long diff = t.sent - t.arrived;
    t.say(diff > 0 ? std::to_string(diff) + " " + what + " missing"
                   : std::to_string(-diff) + " " + what + " more than sent");
}

}  // namespace

std::vector<Sent> numbered(const Packets& items, const std::string& name, std::size_t first) {
    std::vector<Sent> out;
    out.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) out.push_back({.label = name + " " + std::to_string(first + i), .data = items[i]});
    return out;
}

std::vector<Sent> cut_blocks(const std::string& stream, std::size_t block, const std::string& name) {
    std::vector<Sent> out;
    if (block == 0) return out;
    for (std::size_t at = 0; at + block <= stream.size(); at += block)
        out.push_back({.label = name + " " + std::to_string(at / block), .data = stream.substr(at, block)});
    return out;
}

std::vector<Arrival> arrivals(const Packets& items) {
    std::vector<Arrival> out;
    out.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) out.push_back({.label = "arrival " + std::to_string(i), .data = items[i]});
    return out;
}

Tally match_blocks(std::string flow, const std::string& sent, const Packets& arrived, std::size_t block) {
    return match_items(std::move(flow), cut_blocks(sent, block, "block"), arrivals(arrived), Compare::Bytes).tally;
}

Tally match_digests(std::string flow, const std::vector<std::string>& want, const std::vector<std::string>& got,
                    long long errors) {
    Tally t = match_items(std::move(flow), numbered(want, "picture"), arrivals(got), Compare::Digests).tally;
    t.errors = errors;
    if (errors > 0) t.say(std::to_string(errors) + " decode errors");
    return t;
}

std::vector<std::string> framemd5_digests(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        // "stream, dts, pts, duration, size, hash"
        const auto comma = line.find(',');
        if (comma == std::string::npos || line.substr(0, comma) != "0") continue;
        const auto last = line.rfind(',');
        std::string hash = line.substr(last + 1);
        hash.erase(0, hash.find_first_not_of(' '));
        out.push_back(hash);
    }
    return out;
}

namespace {

constexpr std::array<int, 4> kRows{697, 770, 852, 941};
constexpr std::array<int, 3> kColumns{1209, 1336, 1477};
// Row and column of each key index: 1-9 the three by three block, then
// 0 under 8, * (10) and # (11) beside it.
constexpr std::array<std::pair<int, int>, 12> kKeys{
    {{3, 1}, {0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {2, 0}, {2, 1}, {2, 2}, {3, 0}, {3, 2}}};

double goertzel(std::span<const std::int16_t> pcm, int rate, int freq) {
    const double coeff = 2.0 * std::cos(2.0 * M_PI * freq / rate);
    double s1 = 0, s2 = 0;
    for (std::int16_t x : pcm) {
        const double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

}  // namespace

std::pair<int, int> dtmf_tones(int key) {
    if (key < 0 || key >= static_cast<int>(kKeys.size())) return {0, 0};
    const auto [r, c] = kKeys[static_cast<std::size_t>(key)];
    return {kRows[static_cast<std::size_t>(r)], kColumns[static_cast<std::size_t>(c)]};
}

int dtmf_key(std::span<const std::int16_t> pcm, int rate) {
    // 40 ms blocks: fine enough to part neighbouring rows (73 Hz apart),
    // and summed over the whole tone without depending on its phase.
    const std::size_t block = static_cast<std::size_t>(rate > 0 ? rate / 25 : 0);
    if (block == 0 || pcm.size() < block) return -1;
    std::array<double, kRows.size()> rows{};
    std::array<double, kColumns.size()> cols{};
    double reference = 0;  // what all the sound would give as one pure tone
    for (std::size_t at = 0; at + block <= pcm.size(); at += block) {
        const auto part = pcm.subspan(at, block);
        for (std::size_t i = 0; i < rows.size(); ++i) rows[i] += goertzel(part, rate, kRows[i]);
        for (std::size_t i = 0; i < cols.size(); ++i) cols[i] += goertzel(part, rate, kColumns[i]);
        // A pure tone of amplitude A over N samples gives a Goertzel power
        // of (A N / 2)^2, that is N/2 times its energy.
        double energy = 0;
        for (std::int16_t x : part) energy += static_cast<double>(x) * x;
        reference += static_cast<double>(block) / 2.0 * energy;
    }
    if (reference <= 0) return -1;
    auto pick = [&](const auto& p, double& share) {
        std::size_t best = 0;
        for (std::size_t i = 1; i < p.size(); ++i)
            if (p[i] > p[best]) best = i;
        double next = 0;
        for (std::size_t i = 0; i < p.size(); ++i)
            if (i != best) next = std::max(next, p[i]);
        share = p[best] / reference;
        // Clearly above its neighbours (10 dB), or no tone of this group.
        return p[best] >= 10 * next ? static_cast<int>(best) : -1;
    };
    double row_share = 0, col_share = 0;
    const int row = pick(rows, row_share), col = pick(cols, col_share);
    // Both tones present, and together most of the sound.
    if (row < 0 || col < 0 || row_share < 0.2 || col_share < 0.2 || row_share + col_share < 0.7) return -1;
    for (std::size_t k = 0; k < kKeys.size(); ++k)
        if (kKeys[k].first == row && kKeys[k].second == col) return static_cast<int>(k);
    return -1;
}

Tally match_key(std::string flow, int want, std::span<const std::int16_t> pcm, int rate) {
    const int got = dtmf_key(pcm, rate);
    Tally t{.flow = std::move(flow), .sent = 1, .arrived = pcm.empty() ? 0 : 1, .matched = got == want ? 1 : 0};
    if (pcm.empty())
        t.note = "no sound";
    else if (got < 0)
        t.note = "no DTMF key detected";
    else
        t.note = "detected key " + std::to_string(got);
    return t;
}

Tally match_black(std::string flow, const std::vector<std::string>& got, std::size_t lead, std::size_t clip,
                  const std::string& black) {
    Tally t{.flow = std::move(flow), .sent = static_cast<long long>(2 * lead)};
    auto look = [&](std::size_t i) {
        if (i >= got.size()) return;
        ++t.arrived;
        if (got[i] == black)
            ++t.matched;
        else if (t.note.empty())
            t.note = "picture " + std::to_string(i) + " is not black";
    };
    for (std::size_t i = 0; i < lead; ++i) look(i);
    for (std::size_t i = lead + clip; i < 2 * lead + clip; ++i) look(i);
    count_note(t, "pictures");
    return t;
}

namespace {

// The median of arrival - place over the items that arrived; -1 when none
// did.
long long median_lag(const std::vector<Timed>& items) {
    std::vector<long long> lags;
    for (const auto& i : items)
        if (i.arrival_us >= 0) lags.push_back(i.arrival_us - i.place_us);
    if (lags.empty()) return -1;
    std::nth_element(lags.begin(), lags.begin() + static_cast<std::ptrdiff_t>(lags.size() / 2), lags.end());
    return lags[lags.size() / 2];
}

}  // namespace

Tally lip_sync(std::string flow, const std::vector<Timed>& video_items, const std::vector<Timed>& audio_items) {
    Tally t{.flow = std::move(flow), .sent = 1};
    const long long video = median_lag(video_items), audio = median_lag(audio_items);
    if (video < 0 || audio < 0) {
        t.note = video < 0 ? "no clip picture arrived" : "no clip sound arrived";
        return t;
    }
    t.arrived = 1;
    const long long ms = (video - audio) / 1000;
    t.matched = (ms <= kLipSyncToleranceMs && ms >= -kLipSyncToleranceMs) ? 1 : 0;
    t.note = ms >= 0 ? "video " + std::to_string(ms) + " ms after audio" : "video " + std::to_string(-ms) + " ms before audio";
    return t;
}

bool parse_wav(const std::string& bytes, std::vector<std::int16_t>& pcm, int& rate) {
    auto u16 = [&](std::size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) |
               static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 8, "WAVEfmt ") != 0) return false;
    if (u16(20) != 1 || u16(22) != 1 || u16(34) != 16 || bytes.compare(36, 4, "data") != 0) return false;
    rate = static_cast<int>(u32(24));
    const std::size_t data = std::min<std::size_t>(u32(40), bytes.size() - 44) / 2;
    pcm.resize(data);
    for (std::size_t i = 0; i < data; ++i) pcm[i] = static_cast<std::int16_t>(u16(44 + 2 * i));
    return true;
}

}  // namespace demo::checks
