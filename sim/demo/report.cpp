#include "report.hpp"

#include <algorithm>
#include <cstdio>

namespace demo {

namespace {

constexpr int kFlowWidth = 68;

std::string row(const std::string& flow, const std::string& sent, const std::string& arrived,
                const std::string& matched, const std::string& verdict) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "     %-*s %8s %8s %8s  %s", kFlowWidth, flow.c_str(), sent.c_str(),
                  arrived.c_str(), matched.c_str(), verdict.c_str());
    return buf;
}

}  // namespace

bool all_matched(const std::vector<StageResult>& results, int stages_total) {
    return static_cast<int>(results.size()) == stages_total &&
           std::all_of(results.begin(), results.end(), [](const StageResult& r) { return r.ok(); });
}

std::string summary(const std::vector<StageResult>& results, int stages_total) {
    std::string out = "Summary\n";
    std::vector<int> failed;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const StageResult& r = results[i];
        char took[32];
        std::snprintf(took, sizeof took, " (%.1f s)", r.seconds);
        out += "  " + std::to_string(i + 1) + ". " + r.title + ": " + (r.ok() ? "MATCHED" : "NOT MATCHED") + took +
               "\n";
        out += row("what", "sent", "arrived", "matched", "") + "\n";
        for (const auto& t : r.rows) {
            std::string verdict = t.ok() ? "ok" : "MISMATCH";
            if (!t.note.empty()) verdict += " (" + t.note + ")";
            out += row(t.flow, std::to_string(t.sent), std::to_string(t.arrived), std::to_string(t.matched), verdict) +
                   "\n";
        }
        for (const auto& p : r.problems) out += "     problem: " + p + "\n";
        if (!r.ok()) failed.push_back(static_cast<int>(i + 1));
    }
    for (int i = static_cast<int>(results.size()); i < stages_total; ++i) {
        out += "  " + std::to_string(i + 1) + ". not run\n";
        failed.push_back(i + 1);
    }
    if (failed.empty()) {
        out += "Result: all " + std::to_string(stages_total) + " stages matched byte for byte\n";
    } else {
        out += "Result: " + std::to_string(failed.size()) + " of " + std::to_string(stages_total) +
               " stages did not match (stage";
        for (int f : failed) {
            out += ' ';
            out += std::to_string(f);
        }
        out += ")\n";
    }
    return out;
}

}  // namespace demo
