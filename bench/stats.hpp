// Order statistics of a sample, in the sample's own unit.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace bench {

struct Summary {
    std::size_t n = 0;
    double mean = 0, p01 = 0, p50 = 0, p90 = 0, p99 = 0, min = 0, max = 0;
};

// Nearest-rank percentiles; an empty sample gives all zeros.
inline Summary summarize(std::vector<double> v) {
    Summary s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))]; };
    double sum = 0;
    for (double x : v) sum += x;
    s.mean = sum / static_cast<double>(v.size());
    s.p01 = at(0.01);
    s.p50 = at(0.50);
    s.p90 = at(0.90);
    s.p99 = at(0.99);
    s.min = v.front();
    s.max = v.back();
    return s;
}

}  // namespace bench
