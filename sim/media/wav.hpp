// A mono 16-bit WAV file written as samples arrive; the header's lengths
// are brought up to date at every sync and on close, so the file plays even
// while it grows and nothing is held in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace sim::media {

class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path, int rate);
    bool is_open() const { return file_ != nullptr; }
    int rate() const { return rate_; }
    void write(std::span<const std::int16_t> samples);
    void sync();
    void close();
    std::uint64_t samples() const { return samples_; }

private:
    std::FILE* file_ = nullptr;
    int rate_ = 0;
    std::uint64_t samples_ = 0;
};

}  // namespace sim::media
