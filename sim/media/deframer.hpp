// Takes apart what a client writes on a decoder bitstream socket: complete
// header + payload chunks, and runs of bytes that are not framed (bad magic,
// or a header declaring more than a decoder accepts), which are skipped up
// to the next magic.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace sim::media {

class Deframer {
public:
    // Largest payload a decoder takes: the tools' packets fit in 1 MiB.
    static constexpr std::size_t kMaxPayload = 1u << 20;
    static constexpr std::size_t kCapacity = 18 + kMaxPayload;

    struct Item {
        enum Type { None, Chunk, Garbage } type = None;
        std::span<const std::uint8_t> header;   // Chunk: 18 bytes
        std::span<const std::uint8_t> payload;  // Chunk
        std::span<const std::uint8_t> bytes;    // Garbage: the skipped bytes
        const char* reason = "";                // Garbage: "magic" or "oversize"
    };

    Deframer();
    // Free room behind the held bytes, for the next read; never empty.
    std::span<std::uint8_t> space();
    void commit(std::size_t n);
    // The next complete item; the spans stay valid until the next space().
    Item next();
    std::size_t held() const { return len_ - pos_; }

private:
    // First offset after start where the magic (or, at the end, a prefix of
    // it) begins; len_ when there is none.
    std::size_t resync_from(std::size_t start) const;

    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t pos_ = 0, len_ = 0;
};

}  // namespace sim::media
