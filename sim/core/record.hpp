// The record directory: events.tsv (one "ev=KIND<TAB>key=value..." line per
// event, written whole with one write) and per-endpoint payload data files.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "core/loop.hpp"

namespace sim::core {

// One event line under construction.
class Line {
public:
    explicit Line(std::string_view kind);
    Line& kv(std::string_view key, std::string_view value);
    Line& kv(std::string_view key, long long value);
    Line& hex(std::string_view key, std::span<const std::uint8_t> bytes);
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

class Recorder {
public:
    // Creates dir if missing and truncates events.tsv; 0 or -1.
    int open(const std::string& dir);
    void write(Line& line);
    // Appends bytes to dir/NAME and returns the offset they start at.
    std::uint64_t append(const std::string& name, std::span<const std::uint8_t> bytes);

private:
    struct DataFile {
        Fd fd;
        std::uint64_t size = 0;
    };
    std::string dir_;
    Fd events_;
    std::map<std::string, DataFile> data_;
};

}  // namespace sim::core
