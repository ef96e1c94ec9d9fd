// Decoder-side framing check.
#include "media/deframer.hpp"

#include <cstring>

#include "wire/bytes.hpp"
#include "wire/codes.hpp"

namespace sim::media {

namespace {

// True when the n bytes at p could be the start of the magic.
bool magic_prefix(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n && i < wire::kMagic.size(); ++i)
        if (p[i] != wire::kMagic[i]) return false;
    return true;
}

}  // namespace

Deframer::Deframer() : buf_(new std::uint8_t[kCapacity]) {}

std::span<std::uint8_t> Deframer::space() {
    if (pos_ > 0) {
        std::memmove(buf_.get(), buf_.get() + pos_, len_ - pos_);
        len_ -= pos_;
        pos_ = 0;
    }
    // A full buffer always holds a complete item (the largest chunk fits),
    // so next() empties some of it before the next read; 1 byte is a guard.
    if (len_ == kCapacity) return {buf_.get() + len_ - 1, 0};
    return {buf_.get() + len_, kCapacity - len_};
}

void Deframer::commit(std::size_t n) { len_ += n; }

std::size_t Deframer::resync_from(std::size_t start) const {
    for (std::size_t p = start; p < len_; ++p)
        if (magic_prefix(buf_.get() + p, len_ - p)) return p;
    return len_;
}

Deframer::Item Deframer::next() {
    Item item;
    std::size_t avail = len_ - pos_;
    if (avail == 0) return item;
    const std::uint8_t* front = buf_.get() + pos_;
    if (!magic_prefix(front, avail)) {
        std::size_t to = resync_from(pos_ + 1);
        item.type = Item::Garbage;
        item.bytes = {front, to - pos_};
        item.reason = "magic";
        pos_ = to;
        return item;
    }
    if (avail < wire::kPacketHeaderSize) return item;
    std::uint32_t size = wire::load_be32(front + wire::kOffPacketSize);
    if (size > kMaxPayload) {
        // A length no decoder would take: skip the header and look for the
        // next packet rather than wait for a megabyte that may never come.
        std::size_t to = resync_from(pos_ + 1);
        item.type = Item::Garbage;
        item.bytes = {front, to - pos_};
        item.reason = "oversize";
        pos_ = to;
        return item;
    }
    if (avail < wire::kPacketHeaderSize + size) return item;
    item.type = Item::Chunk;
    item.header = {front, wire::kPacketHeaderSize};
    item.payload = {front + wire::kPacketHeaderSize, size};
    pos_ += wire::kPacketHeaderSize + size;
    return item;
}

}  // namespace sim::media
