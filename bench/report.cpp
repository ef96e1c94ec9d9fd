#include "report.hpp"

#include <cmath>

namespace bench {
namespace {

const char* verdict_text(Verdict v) {
    switch (v) {
        case Verdict::kMet: return "met";
        case Verdict::kMissed: return "MISSED";
        case Verdict::kNone: break;
    }
    return "";
}

std::string number(double v) {
    char buf[64];
    if (std::fabs(v) >= 1000 || v == std::floor(v)) std::snprintf(buf, sizeof buf, "%.0f", v);
    else std::snprintf(buf, sizeof buf, "%.3g", v);
    return buf;
}

void json_string(std::FILE* out, const std::string& s) {
    std::fputc('"', out);
    for (char ch : s) {
        if (ch == '"' || ch == '\\') std::fputc('\\', out);
        if (static_cast<unsigned char>(ch) < 0x20) {
            std::fprintf(out, "\\u%04x", ch);
            continue;
        }
        std::fputc(ch, out);
    }
    std::fputc('"', out);
}

}  // namespace

void print_report(const Report& r, std::FILE* out) {
    std::fprintf(out, "\n%-24s %-34s %12s %-8s %-30s %s\n", "measurement", "figure", "value", "unit", "target", "");
    std::string last;
    for (const Row& row : r.rows) {
        if (row.group != last) std::fprintf(out, "%s\n", std::string(116, '-').c_str());
        std::fprintf(out, "%-24s %-34s %12s %-8s %-30s %s\n", row.group == last ? "" : row.group.c_str(),
                     row.name.c_str(), number(row.value).c_str(), row.unit.c_str(), row.target.c_str(),
                     verdict_text(row.verdict));
        last = row.group;
    }
    std::fprintf(out, "%s\n", std::string(116, '-').c_str());
    for (const auto& n : r.notes) std::fprintf(out, "note: %s\n", n.c_str());
    std::fflush(out);
}

void write_json(const Report& r, std::FILE* out) {
    std::fprintf(out, "{\n  \"rows\": [\n");
    for (std::size_t i = 0; i < r.rows.size(); ++i) {
        const Row& row = r.rows[i];
        std::fprintf(out, "    {\"group\": ");
        json_string(out, row.group);
        std::fprintf(out, ", \"figure\": ");
        json_string(out, row.name);
        std::fprintf(out, ", \"value\": %.6g, \"unit\": ", std::isfinite(row.value) ? row.value : 0.0);
        json_string(out, row.unit);
        std::fprintf(out, ", \"target\": ");
        json_string(out, row.target);
        std::fprintf(out, ", \"verdict\": ");
        json_string(out, verdict_text(row.verdict));
        std::fprintf(out, "}%s\n", i + 1 < r.rows.size() ? "," : "");
    }
    std::fprintf(out, "  ],\n  \"notes\": [");
    for (std::size_t i = 0; i < r.notes.size(); ++i) {
        if (i) std::fprintf(out, ", ");
        json_string(out, r.notes[i]);
    }
    std::fprintf(out, "]\n}\n");
}

}  // namespace bench
