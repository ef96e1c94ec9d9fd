#include "media/wav.hpp"

#include <algorithm>
#include <array>

#include "wire/bytes.hpp"

namespace sim::media {

namespace {

constexpr std::size_t kHeader = 44;
// A WAV length field is 32 bits: stop growing just below 4 GiB.
constexpr std::uint64_t kMaxSamples = (0xFFFFFFFFull - kHeader) / 2;

void put_le16(std::uint8_t* p, std::uint16_t v) { wire::store_le16(p, v); }
void put_le32(std::uint8_t* p, std::uint32_t v) {
    wire::store_le16(p, static_cast<std::uint16_t>(v));
    wire::store_le16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

}  // namespace

WavWriter::~WavWriter() { close(); }

bool WavWriter::open(const std::string& path, int rate) {
    close();
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) return false;
    rate_ = rate;
    samples_ = 0;
    sync();
    return true;
}

void WavWriter::write(std::span<const std::int16_t> samples) {
    if (file_ == nullptr || samples_ + samples.size() > kMaxSamples) return;
    std::array<std::uint8_t, 512> buf{};
    std::size_t i = 0;
    while (i < samples.size()) {
        std::size_t n = 0;
        for (; n + 2 <= buf.size() && i < samples.size(); n += 2, ++i)
            put_le16(&buf[n], static_cast<std::uint16_t>(samples[i]));
        std::fwrite(buf.data(), 1, n, file_);
    }
    samples_ += samples.size();
}

void WavWriter::sync() {
    if (file_ == nullptr) return;
    std::array<std::uint8_t, kHeader> h{};
    const auto data = static_cast<std::uint32_t>(samples_ * 2);
    std::copy_n("RIFF", 4, h.begin());
    put_le32(&h[4], static_cast<std::uint32_t>(36 + data));
    std::copy_n("WAVEfmt ", 8, h.begin() + 8);
    put_le32(&h[16], 16);
    put_le16(&h[20], 1);  // integer PCM
    put_le16(&h[22], 1);  // mono
    put_le32(&h[24], static_cast<std::uint32_t>(rate_));
    put_le32(&h[28], static_cast<std::uint32_t>(rate_ * 2));
    put_le16(&h[32], 2);
    put_le16(&h[34], 16);
    std::copy_n("data", 4, h.begin() + 36);
    put_le32(&h[40], data);
    const long at = std::ftell(file_);
    std::fseek(file_, 0, SEEK_SET);
    std::fwrite(h.data(), 1, h.size(), file_);
    std::fseek(file_, at > static_cast<long>(kHeader) ? at : static_cast<long>(kHeader), SEEK_SET);
    std::fflush(file_);
}

void WavWriter::close() {
    if (file_ == nullptr) return;
    sync();
    std::fclose(file_);
    file_ = nullptr;
}

}  // namespace sim::media
