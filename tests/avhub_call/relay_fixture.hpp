// Relay fixture: socketpairs stand in for the video and audio encoders and
// decoders; the relay's process-wide buffers are made here, as start-up
// would make them, and every packet the decoders get is parsed back.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/bytes.hpp"
#include "harness/util.hpp"

#include "box_test.hpp"
#include "globals.hpp"
#include "relay.hpp"
#include "stream_writer.hpp"
#include "wire/bytes.hpp"
#include "wire/codes.hpp"

namespace call_test {

using harness::Bytes;

struct Packet {
    std::uint8_t type = 0;
    std::uint8_t ch = 0;
    std::uint32_t ts = 0;
    std::array<std::uint8_t, 4> gob{};  // bytes 14..17 as sent
    Bytes payload;
};

// An encoder chunk: header with the frame flags in byte 17, then payload.
inline Bytes chunk(std::uint8_t type, std::uint8_t ch, std::uint32_t ts, std::uint8_t gob, const Bytes& payload) {
    Bytes b(18 + payload.size());
    b[0] = 0x00;
    b[1] = 0x55;
    b[2] = 0xAA;
    b[3] = 0xFF;
    b[4] = type;
    b[5] = ch;
    wire::store_be32(&b[6], ts);
    wire::store_be32(&b[10], static_cast<std::uint32_t>(payload.size()));
    b[17] = gob;
    std::copy(payload.begin(), payload.end(), b.begin() + 18);
    return b;
}

inline Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Splits a byte stream back into packets; fails the test on broken framing.
inline std::vector<Packet> parse_stream(const Bytes& s) {
    std::vector<Packet> out;
    std::size_t off = 0;
    while (off < s.size()) {
        EXPECT_GE(s.size() - off, 18u) << "partial header at " << off;
        if (s.size() - off < 18) break;
        const std::uint8_t* h = &s[off];
        EXPECT_TRUE(h[0] == 0 && h[1] == 0x55 && h[2] == 0xAA && h[3] == 0xFF) << "magic at " << off;
        Packet p;
        p.type = h[4];
        p.ch = h[5];
        p.ts = wire::load_be32(h + 6);
        const std::uint32_t len = wire::load_be32(h + 10);
        std::copy(h + 14, h + 18, p.gob.begin());
        EXPECT_LE(len, s.size() - off - 18) << "partial payload at " << off;
        if (len > s.size() - off - 18) break;
        p.payload.assign(h + 18, h + 18 + len);
        out.push_back(std::move(p));
        off += 18 + len;
    }
    return out;
}

using harness::drain;
using harness::write_all;

class RelayTest : public ::testing::Test {
protected:
    // Made once, as start-up makes them.
    static inline Bytes vdoSock = Bytes(avhub::kVdoSockBufSize);
    static inline Bytes adoSock = Bytes(avhub::kAdoSockBufSize);
    static inline Bytes mainVdo = Bytes(avhub::kMainVdoBufSize);
    static inline std::vector<Bytes> mainAdo = std::vector<Bytes>(avhub::kMainAdoBufCount, Bytes(avhub::kMainAdoBufSize));

    int venc[2]{-1, -1}, aenc[2]{-1, -1}, vdec[2]{-1, -1}, adec[2]{-1, -1};

    void SetUp() override {
        for (int* p : {venc, aenc, vdec, adec}) {
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, p), 0);
            ::fcntl(p[0], F_SETFL, O_NONBLOCK);
            ::fcntl(p[1], F_SETFL, O_NONBLOCK);
        }
        using namespace avhub;
        s32VdoEncSockFd = venc[0];
        s32AdoEncSockFd = aenc[0];
        s32VdoDecSockFd = vdec[0];
        s32AdoDecSockFd = adec[0];
        u8VdoSockBuf = vdoSock;
        u8AdoSockBuf2 = adoSock;
        u8AdoSockBuf = adoSock;
        u8MainVdoBuf = mainVdo;
        for (std::size_t i = 0; i < kMainAdoBufCount; ++i) {
            u8MainAdoBuf[i] = mainAdo[i];
            u32MainAdoBufLen[i] = 0;
        }
        u32VdoSockBuflen = u32AdoSockBuflen = u32MainVdoBufLen = 0;
        u8VdoSockStatus = u8AdoSockStatus = 0;
        SktParam_t[0].bInFrame = false;
        SktParam_t[0].u32Len = 0;
        u32RelayVdoChan = 0;
        u32AdoBlkSize = 0;
        u32AdoSeqNum = 0;
        DelayBuf = 0;
        u32VcbMode = 0;
        Recording = 0;
        pRecFile = nullptr;
        BdgServer_t.u32VdoBtsmCnt = 0;
    }

    void TearDown() override {
        using namespace avhub;
        for (int* p : {venc, aenc, vdec, adec}) {
            stream_writer::stream_forget(p[0]);
            ::close(p[0]);
            ::close(p[1]);
        }
        s32VdoEncSockFd = s32AdoEncSockFd = s32VdoDecSockFd = s32AdoDecSockFd = 0;
        if (pRecFile != nullptr) std::fclose(pRecFile);
        pRecFile = nullptr;
    }

    // One loop pass of the relay: video socket, then audio socket.
    void pass() {
        using namespace avhub;
        main_thread_read_sock_buf(s32VdoEncSockFd, u8VdoSockBuf, u32VdoSockBuflen, u8VdoSockStatus);
        main_thread_read_sock_buf(s32AdoEncSockFd, u8AdoSockBuf2, u32AdoSockBuflen, u8AdoSockStatus);
    }
    void video_in(const Bytes& b) { write_all(venc[1], b); }
    void audio_in(const Bytes& b) { write_all(aenc[1], b); }
    std::vector<Packet> video_out() { return parse_stream(drain(vdec[1])); }
    std::vector<Packet> audio_out() { return parse_stream(drain(adec[1])); }
};

}  // namespace call_test
