#include "match.hpp"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <tuple>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

namespace demo::checks {

namespace {

using Pairs = std::vector<std::pair<long, long>>;
using Eq = std::function<bool(long, long)>;

// Beyond this many edits the alignment gives way to a plain in-order
// search: the row has failed many times over by then.
constexpr long kMaxEdits = 1000;

// A longest common subsequence of a[0..n) and b[0..m) as pairs (i, j) with
// eq(i, j), in order (Myers' greedy algorithm); nothing when it takes more
// than max_d insertions and deletions.
std::optional<Pairs> common(long n, long m, const Eq& eq, long max_d) {
    const long limit = std::min(n + m, max_d);
    // v[k] for the diagonals k = -(limit + 1) .. limit + 1
    std::vector<long> v(static_cast<std::size_t>(2 * limit + 3), 0);
    const long mid = limit + 1;
    auto at = [&](long k) -> long& { return v[static_cast<std::size_t>(mid + k)]; };
    std::vector<std::vector<long>> trace;  // v[-(d+1) .. d+1] before step d
    for (long d = 0; d <= limit; ++d) {
        trace.emplace_back(v.begin() + (mid - d - 1), v.begin() + (mid + d + 2));
        for (long k = -d; k <= d; k += 2) {
            long x = (k == -d || (k != d && at(k - 1) < at(k + 1))) ? at(k + 1) : at(k - 1) + 1;
            long y = x - k;
            while (x < n && y < m && eq(x, y)) ++x, ++y;
            at(k) = x;
            if (x < n || y < m) continue;
            // Walk back through the steps, collecting the diagonal runs.
            Pairs out;
            long bx = n, by = m;
            for (long s = d; s >= 0; --s) {
                const auto& t = trace[static_cast<std::size_t>(s)];
                auto was = [&](long kk) { return t[static_cast<std::size_t>(kk + s + 1)]; };
                const long bk = bx - by;
                const long pk = (bk == -s || (bk != s && was(bk - 1) < was(bk + 1))) ? bk + 1 : bk - 1;
                const long px = s > 0 ? was(pk) : 0, py = s > 0 ? px - pk : 0;
                while (bx > px && by > py) out.emplace_back(--bx, --by);
                bx = px;
                by = py;
            }
            std::reverse(out.begin(), out.end());
            return out;
        }
    }
    return std::nullopt;
}

// Each b in turn against the first unpaired a at or after the last pair.
Pairs in_order(long n, long m, const Eq& eq) {
    Pairs out;
    long from = 0;
    for (long j = 0; j < m; ++j)
        for (long i = from; i < n; ++i)
            if (eq(i, j)) {
                out.emplace_back(i, j);
                from = i + 1;
                break;
            }
    return out;
}

// First byte at which two payloads part; the shorter one's size when one
// is the start of the other.
std::size_t first_difference(const std::string& a, const std::string& b) {
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return static_cast<std::size_t>(ia - a.begin());
}

// One kind of finding in a row: how many, and the first one as an example.
struct Cell {
    long long count = 0;
    std::string first;
    void add(const std::string& example) {
        if (count++ == 0) first = example;
    }
    std::string text() const { return count > 1 ? first + ", " + std::to_string(count) + " in all" : first; }
};

}  // namespace

void Tally::say(const std::string& text) {
    if (text.empty()) return;
    if (!note.empty()) note += "; ";
    note += text;
}

Matching match_items(std::string flow, const std::vector<Sent>& sent, const std::vector<Arrival>& arrived,
                     Compare compare, const std::vector<Arrival>& elsewhere) {
    Matching m;
    Tally& t = m.tally;
    t.flow = std::move(flow);
    t.sent = static_cast<long long>(sent.size());
    t.arrived = static_cast<long long>(arrived.size());
    m.arrival_of.assign(sent.size(), -1);

    // Only what left can arrive: the alignment runs over those.
    std::vector<long> leaving;
    for (std::size_t i = 0; i < sent.size(); ++i)
        if (sent[i].left) leaving.push_back(static_cast<long>(i));
    const std::hash<std::string> hash;
    std::vector<std::size_t> hs(leaving.size()), ha(arrived.size());
    for (std::size_t i = 0; i < leaving.size(); ++i) hs[i] = hash(sent[static_cast<std::size_t>(leaving[i])].data);
    for (std::size_t j = 0; j < arrived.size(); ++j) ha[j] = hash(arrived[j].data);
    const Eq eq = [&](long i, long j) {
        return hs[static_cast<std::size_t>(i)] == ha[static_cast<std::size_t>(j)] &&
               sent[static_cast<std::size_t>(leaving[static_cast<std::size_t>(i)])].data ==
                   arrived[static_cast<std::size_t>(j)].data;
    };
    const long n = static_cast<long>(leaving.size()), na = static_cast<long>(arrived.size());
    Pairs pairs = common(n, na, eq, kMaxEdits).value_or(Pairs{});
    if (pairs.empty() && n > 0 && na > 0) pairs = in_order(n, na, eq);

    std::vector<long> arrival_of(leaving.size(), -1), sent_of(arrived.size(), -1);
    for (const auto& [i, j] : pairs) {
        arrival_of[static_cast<std::size_t>(i)] = j;
        sent_of[static_cast<std::size_t>(j)] = i;
    }
    t.matched = static_cast<long long>(pairs.size());

    Cell broken, missing, channel, differs, twice, order, unsent, after_close;
    for (const auto& s : sent)
        if (!s.broken.empty()) broken.add(s.label + ": " + s.broken);

    // Sent items not in place, by the data they carry.
    std::unordered_multimap<std::size_t, long> loose;
    for (long i = 0; i < n; ++i)
        if (arrival_of[static_cast<std::size_t>(i)] < 0) loose.emplace(hs[static_cast<std::size_t>(i)], i);
    std::unordered_multimap<std::size_t, long> all;
    for (long i = 0; i < n; ++i) all.emplace(hs[static_cast<std::size_t>(i)], i);

    auto label_of = [&](long i) -> const std::string& {
        return sent[static_cast<std::size_t>(leaving[static_cast<std::size_t>(i)])].label;
    };
    std::vector<long> unexplained;  // arrivals that are no sent item at all
    for (long j = 0; j < na; ++j) {
        if (sent_of[static_cast<std::size_t>(j)] >= 0) continue;
        // Sent and not yet found in place: it came, out of its order.
        long best = -1;
        auto [lo, hi] = loose.equal_range(ha[static_cast<std::size_t>(j)]);
        for (auto it = lo; it != hi; ++it)
            if (eq(it->second, j) && arrival_of[static_cast<std::size_t>(it->second)] < 0 &&
                (best < 0 || std::abs(it->second - j) < std::abs(best - j)))
                best = it->second;
        if (best >= 0) {
            arrival_of[static_cast<std::size_t>(best)] = j;
            sent_of[static_cast<std::size_t>(j)] = best;
            order.add(label_of(best) + " arrived out of order");
            continue;
        }
        // A copy of an item that came already.
        auto [alo, ahi] = all.equal_range(ha[static_cast<std::size_t>(j)]);
        long copy = -1;
        for (auto it = alo; it != ahi; ++it)
            if (eq(it->second, j) &&
                (copy < 0 || std::abs(arrival_of[static_cast<std::size_t>(it->second)] - j) <
                                 std::abs(arrival_of[static_cast<std::size_t>(copy)] - j)))
                copy = it->second;
        if (copy >= 0) {
            twice.add(label_of(copy) + " arrived twice");
            continue;
        }
        unexplained.push_back(j);
    }

    // What never came on this channel may have come on another.
    std::vector<long> lost;
    for (long i = 0; i < n; ++i) {
        if (arrival_of[static_cast<std::size_t>(i)] >= 0) continue;
        const auto& data = sent[static_cast<std::size_t>(leaving[static_cast<std::size_t>(i)])].data;
        const auto other = std::find_if(elsewhere.begin(), elsewhere.end(), [&](const Arrival& a) { return a.data == data; });
        if (other != elsewhere.end())
            channel.add(label_of(i) + " arrived on channel " + std::to_string(other->channel));
        else
            lost.push_back(i);
    }

    // A lost item and an unexplained arrival between the same two matched
    // neighbours: the item, corrupted on its way.
    auto gap_of_sent = [&](long i) {
        return std::lower_bound(pairs.begin(), pairs.end(), i, [](const auto& p, long v) { return p.first < v; }) -
               pairs.begin();
    };
    auto gap_of_arrival = [&](long j) {
        return std::lower_bound(pairs.begin(), pairs.end(), j, [](const auto& p, long v) { return p.second < v; }) -
               pairs.begin();
    };
    std::vector<bool> used(unexplained.size(), false);
    for (long i : lost) {
        long hit = -1;
        for (std::size_t u = 0; u < unexplained.size() && hit < 0; ++u)
            if (!used[u] && gap_of_arrival(unexplained[u]) == gap_of_sent(i)) hit = static_cast<long>(u);
        if (hit < 0) {
            missing.add(label_of(i) + " never arrived");
            continue;
        }
        used[static_cast<std::size_t>(hit)] = true;
        const long j = unexplained[static_cast<std::size_t>(hit)];
        arrival_of[static_cast<std::size_t>(i)] = j;
        const auto& want = sent[static_cast<std::size_t>(leaving[static_cast<std::size_t>(i)])].data;
        const auto& got = arrived[static_cast<std::size_t>(j)].data;
        std::string what = label_of(i) + " differs";
        if (compare == Compare::Bytes) {
            what += " at byte " + std::to_string(first_difference(want, got));
            if (want.size() != got.size())
                what += " (" + std::to_string(want.size()) + " bytes sent, " + std::to_string(got.size()) + " arrived)";
        }
        differs.add(what);
    }
    for (std::size_t u = 0; u < unexplained.size(); ++u) {
        if (used[u]) continue;
        unsent.add(arrived[static_cast<std::size_t>(unexplained[u])].label + " was never sent");
        m.unsent.push_back(unexplained[u]);
    }

    for (const auto& [i, j] : pairs)
        if (arrived[static_cast<std::size_t>(j)].after_close) after_close.add(label_of(i) + " relayed after close");

    for (std::size_t i = 0; i < leaving.size(); ++i)
        m.arrival_of[static_cast<std::size_t>(leaving[i])] = arrival_of[i];
    m.unaccounted = missing.count;
    for (const Cell* c : {&broken, &missing, &channel, &differs, &twice, &order, &unsent}) {
        if (c->count == 0) continue;
        ++t.faults;
        t.say(c->text());
    }
    if (after_close.count > 0) t.say(after_close.text());
    return m;
}

std::vector<Frame> join_frames(const std::vector<Piece>& pieces) {
    struct Open {
        std::vector<const Piece*> parts;
    };
    std::vector<Open> frames;
    std::map<std::tuple<int, int, int, std::uint32_t>, std::size_t> index;
    for (const auto& p : pieces) {
        const auto key = std::make_tuple(p.conn, p.ch, p.stream, p.ts);
        auto it = index.find(key);
        // A first piece of a number already seen begins a frame of its own.
        const bool first = p.count > 0 ? p.index == 0 : (p.flags & 1) != 0;
        if (it == index.end() || first) {
            it = index.insert_or_assign(key, frames.size()).first;
            frames.emplace_back();
        }
        frames[it->second].parts.push_back(&p);
    }
    std::vector<Frame> out;
    out.reserve(frames.size());
    for (const auto& f : frames) {
        const Piece& head = *f.parts.front();
        Frame fr{.conn = head.conn, .ch = head.ch, .stream = head.stream, .ts = head.ts};
        long long dropped = 0;
        for (const Piece* p : f.parts) {
            if (p->dropped)
                ++dropped;
            else
                fr.data += p->data;
        }
        const long long have = static_cast<long long>(f.parts.size());
        if (head.count > 0) {
            // Indexed pieces: each index from 0 to count - 1, once, in order.
            bool in_order = have == head.count;
            for (std::size_t k = 0; in_order && k < f.parts.size(); ++k)
                in_order = f.parts[k]->index == static_cast<int>(k);
            if (dropped > 0)
                fr.broken = std::to_string(dropped) + " of " + std::to_string(head.count) +
                            " pieces could not be sent (avhub was not reading)";
            else if (!in_order)
                fr.broken = std::to_string(have) + " of " + std::to_string(head.count) + " pieces left";
        } else {
            // Flags only: first ... last, or one whole piece.
            const bool whole = have == 1 && head.flags == 3;
            const bool framed = have > 1 && head.flags == 1 && f.parts.back()->flags == 2 &&
                                std::all_of(f.parts.begin() + 1, f.parts.end() - 1,
                                            [](const Piece* p) { return p->flags == 0; });
            if (dropped > 0)
                fr.broken = std::to_string(dropped) + " pieces could not be sent (avhub was not reading)";
            else if (!whole && !framed)
                fr.broken = "its pieces do not run from a first to a last";
        }
        out.push_back(std::move(fr));
    }
    return out;
}

}  // namespace demo::checks
