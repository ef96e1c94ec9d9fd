// The benchmark's result table: one row per figure, its target beside it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace bench {

enum class Verdict { kNone, kMet, kMissed };

struct Row {
    std::string group;   // what was measured, e.g. "relay latency"
    std::string name;    // the figure, e.g. "avhub p50"
    double value = 0;
    std::string unit;
    std::string target;  // "" when the figure is context, not a target
    Verdict verdict = Verdict::kNone;
};

struct Report {
    std::vector<Row> rows;
    std::vector<std::string> notes;

    void add(std::string group, std::string name, double value, std::string unit, std::string target = {},
             Verdict v = Verdict::kNone) {
        rows.push_back({std::move(group), std::move(name), value, std::move(unit), std::move(target), v});
    }
};

inline Verdict verdict(bool met) { return met ? Verdict::kMet : Verdict::kMissed; }

void print_report(const Report& r, std::FILE* out);
void write_json(const Report& r, std::FILE* out);

}  // namespace bench
