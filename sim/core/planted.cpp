#include "core/planted.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sim::core {

namespace {

constexpr std::size_t kChannelByte = 5;  // u8StreamCh in the packet header

}  // namespace

std::string Planted::arm(const std::vector<std::string>& args) {
    static constexpr std::array<std::pair<const char*, Fault>, 5> kFaults{{{"dup", Fault::Dup},
                                                                          {"drop", Fault::Drop},
                                                                          {"flip", Fault::Flip},
                                                                          {"swap", Fault::Swap},
                                                                          {"channel", Fault::Channel}}};
    if (args.size() != 4) return "error usage: plant dup|drop|flip|swap|channel WHERE N";
    const auto it = std::find_if(kFaults.begin(), kFaults.end(), [&](const auto& f) { return args[1] == f.first; });
    if (it == kFaults.end()) return "error unknown fault " + args[1];
    char* end = nullptr;
    const long long n = std::strtoll(args[3].c_str(), &end, 10);
    if (end == args[3].c_str() || *end != '\0' || n < 1 || n > 1000000) return "error bad count " + args[3];
    armed_.push_back({it->second, args[2], n});
    return "ok";
}

void Planted::pass(const std::string& where, std::span<const std::uint8_t> header,
                   std::span<const std::uint8_t> payload, const Record& record) {
    std::optional<Fault> hit;
    for (auto a = armed_.begin(); a != armed_.end();) {
        if (a->where == where && --a->left == 0) {
            hit = a->fault;
            a = armed_.erase(a);
        } else {
            ++a;
        }
    }
    // A chunk a swap held back comes after this one, whatever happens to it.
    std::vector<Held> due;
    for (auto h = held_.begin(); h != held_.end();) {
        if (h->where == where) {
            due.push_back(std::move(*h));
            h = held_.erase(h);
        } else {
            ++h;
        }
    }
    if (!hit) {
        record(header, payload);
    } else if (*hit == Fault::Dup) {
        record(header, payload);
        record(header, payload);
    } else if (*hit == Fault::Flip || *hit == Fault::Channel) {
        std::array<std::uint8_t, 18> h{};
        std::memcpy(h.data(), header.data(), std::min(h.size(), header.size()));
        std::vector<std::uint8_t> p(payload.begin(), payload.end());
        if (*hit == Fault::Channel)
            h[kChannelByte] = static_cast<std::uint8_t>(h[kChannelByte] + 1);
        else if (!p.empty())
            p[p.size() / 2] ^= 0xFF;
        record(h, p);
    } else if (*hit == Fault::Swap) {
        Held h{.where = where, .payload = {payload.begin(), payload.end()}};
        std::memcpy(h.header.data(), header.data(), std::min(h.header.size(), header.size()));
        held_.push_back(std::move(h));
    }  // Drop: not recorded at all
    for (const auto& h : due) record(h.header, h.payload);
}

}  // namespace sim::core
