// A contact sheet of one video stream: the first picture, the last, and
// pictures at even intervals between, each labelled with its number, as one
// PNG. Memory stays bounded however long the stream runs: thumbnails are
// kept at a stride that doubles whenever the store is full.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/av.hpp"

namespace sim::media {

class ContactSheet {
public:
    static constexpr std::size_t kTiles = 12;  // at most, first and last included
    static constexpr int kThumbWidth = 160;

    // Takes picture number n (0, 1, 2 ... in decode order).
    void add(const AVFrame& f, std::uint32_t n);
    std::size_t pictures() const { return count_; }
    // The numbers of the pictures the sheet shows, in order.
    std::vector<std::uint32_t> numbers() const;
    // Writes the sheet as a PNG; false when there is no picture or the file
    // cannot be written.
    bool write_png(const std::string& path) const;

private:
    struct Thumb {
        std::uint32_t n = 0;
        int w = 0, h = 0;
        std::vector<std::uint8_t> rgb;
    };
    static Thumb thumb(const AVFrame& f, std::uint32_t n);
    std::vector<const Thumb*> chosen() const;

    std::vector<Thumb> kept_;  // every stride_-th picture
    std::uint32_t stride_ = 1;
    Thumb last_;
    std::size_t count_ = 0;
};

}  // namespace sim::media
