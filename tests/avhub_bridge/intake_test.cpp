// The intake of a bridge video bitstream connection: packets rewritten for
// the local decoder, resynchronisation after bad input, and bounded buffers.
#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "bridge_fixture.hpp"
#include "harness/util.hpp"

namespace {

using namespace bridge_test;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct Forwarded {
    std::array<std::uint8_t, 18> hdr{};
    Bytes payload;
};

class IntakeTest : public ::testing::Test {
protected:
    static constexpr int kSlot = 2;
    Pair bridge, dec;
    Bytes decoded;  // every byte the decoder got so far

    void SetUp() override {
        auto& c = avhub::BdgServer_t.stVdoBtsm[kSlot];
        c.s32Fd = bridge.fd[0];
        c.u32PktCnt = 0;
        avhub::BdgServer_t.stVdoCmd[kSlot].u32StreamType = 0;
        auto& buf = avhub::u8BdgSocketBuf[kSlot];
        if (!buf) buf.reset(new std::uint8_t[avhub::kBdgSocketBufSize]);
        avhub::u32BdgSocketLen[kSlot] = 0;
        avhub::s32VdoDecSockFd = dec.fd[0];
    }
    void TearDown() override {
        avhub::BdgServer_t.stVdoBtsm[kSlot].s32Fd = 0;
        avhub::s32VdoDecSockFd = 0;
    }

    // One service step's intake, with its log lines.
    std::string step() {
        CaptureStdout();
        avhub::expansion_box_stream_proc(avhub::kKindVideo);
        stream_writer::stream_flush_pending();
        Bytes got = drain(dec.fd[1]);
        decoded.insert(decoded.end(), got.begin(), got.end());
        return GetCapturedStdout();
    }

    std::vector<Forwarded> forwarded(bool whole = true) const {
        std::vector<Forwarded> out;
        std::size_t off = 0;
        while (decoded.size() - off >= 18) {
            Forwarded f;
            std::copy_n(decoded.begin() + static_cast<long>(off), 18, f.hdr.begin());
            std::uint32_t len = wire::load_be32(&f.hdr[10]);
            if (decoded.size() - off - 18 < len) break;
            f.payload.assign(decoded.begin() + static_cast<long>(off + 18),
                             decoded.begin() + static_cast<long>(off + 18 + len));
            out.push_back(std::move(f));
            off += 18 + len;
        }
        if (whole) {
            EXPECT_EQ(off, decoded.size()) << "the decoder got part of a packet";
        }
        return out;
    }
    std::size_t forwarded_count() const { return forwarded(false).size(); }

    // Checks that the decoder got exactly these packets' payloads, rewritten
    // as main video, channel 0, numbered first, first+1, ... with zero flags.
    void expect_forwarded(const std::vector<Bytes>& sent, std::uint32_t first = 0) {
        auto got = forwarded();
        ASSERT_EQ(got.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const auto& h = got[i].hdr;
            EXPECT_EQ(hexs(h.data(), 6), "0055aaff0000") << "packet " << i;
            EXPECT_EQ(wire::load_be32(&h[6]), first + i) << "packet " << i;
            EXPECT_EQ(hexs(&h[14], 4), "00000000") << "packet " << i;
            EXPECT_EQ(got[i].payload, Bytes(sent[i].begin() + 18, sent[i].end())) << "packet " << i;
        }
    }
};

TEST_F(IntakeTest, PacketsAreRewrittenNumberedAndForwardedWhole) {
    Bytes a = packet(0, 300, 1), b = packet(0, 0, 2), content = packet(2, 1000, 3);
    write_all(bridge.fd[1], cat({a, b, content}));
    std::string out = step();
    expect_forwarded({a, b, content});
    // The content packet is forwarded as main video all the same, with a note.
    EXPECT_EQ(out.find("Lose"), std::string::npos) << out;
    EXPECT_NE(out.find(" : Brisko[2] stream type is diff [0 2]\n"), std::string::npos) << out;
    EXPECT_EQ(avhub::u32BdgSocketLen[kSlot], 0u);

    // A slot expecting content video notes main video instead.
    avhub::BdgServer_t.stVdoCmd[kSlot].u32StreamType = 1;
    write_all(bridge.fd[1], packet(0, 10, 4));
    out = step();
    EXPECT_NE(out.find("Brisko[2] stream type is diff [1 0]\n"), std::string::npos) << out;
    EXPECT_EQ(forwarded().size(), 4u);
}

TEST_F(IntakeTest, PacketSplitAcrossStepsIsForwardedOnceComplete) {
    Bytes p = packet(0, 5000, 5);
    write_all(bridge.fd[1], Bytes(p.begin(), p.begin() + 10));  // part of the header
    EXPECT_EQ(step(), "");
    write_all(bridge.fd[1], Bytes(p.begin() + 10, p.begin() + 2000));
    step();
    EXPECT_TRUE(decoded.empty());
    EXPECT_EQ(avhub::u32BdgSocketLen[kSlot], 2000u);
    write_all(bridge.fd[1], Bytes(p.begin() + 2000, p.end()));
    step();
    expect_forwarded({p});
}

// Five garbage bytes in front of a packet, all in one receive: the packet is
// found again; one of 100 bytes goes out in the same step, one of 40 bytes
// stays held until more arrives (fewer than 48 bytes are not looked at again).
TEST_F(IntakeTest, GarbageInFrontOfAPacketIsSkippedToTheNextMagic) {
    const Bytes garbage{0x01, 0x02, 0x03, 0x04, 0x05};
    struct Case {
        std::uint32_t payload;
        bool forwarded_at_once;
    };
    for (Case c : {Case{82, true}, Case{22, false}}) {
        SCOPED_TRACE(c.payload + 18);
        decoded.clear();
        avhub::BdgServer_t.stVdoBtsm[kSlot].u32PktCnt = 0;
        Bytes p = packet(0, c.payload, 9);
        write_all(bridge.fd[1], cat({garbage, p}));
        std::string out = step();
        const std::string total = std::to_string(c.payload + 18 + 5), left = std::to_string(c.payload + 18);
        const std::vector<std::string> lines{
            "box_test.c", " :  Header Error 01 02 03 04 \n",
            " : Lose Decoder Bitstream (" + total + ") !!!!!!!\n", " : 01 02 03 04 \n", "Get Hdr 5\n",
            " : Move Vdo Data [5] " + left + "\n"};
        std::size_t at = 0;
        for (const auto& l : lines) {
            at = out.find(l, at);
            ASSERT_NE(at, std::string::npos) << "missing in order: " << l << "\n" << out;
        }
        if (c.forwarded_at_once) {
            expect_forwarded({p});
        } else {
            EXPECT_TRUE(decoded.empty());
            EXPECT_EQ(avhub::u32BdgSocketLen[kSlot], c.payload + 18);
            Bytes next = packet(0, 100, 10);
            write_all(bridge.fd[1], next);
            step();
            expect_forwarded({p, next});
        }
    }
}

// Input a bridge should never send is dropped and the intake goes on with
// the packets behind it, numbering only what it forwards.
TEST_F(IntakeTest, BadInputIsDroppedAndLaterPacketsStillFlow) {
    struct Case {
        const char* what;
        Bytes bad;
        const char* line;  // expected log text ("" for none)
    };
    const Case cases[] = {
        {"audio packet", packet(1, 200, 20), ""},
        {"unknown stream type", packet(9, 30, 21), "Lose Decoder Bitstream"},
        {"length past the receive buffer", packet(0, 8, 22, 0x7FFFFFF0u), "packet too large"},
        {"length just past the receive buffer", packet(2, 8, 23, 524288 - 17), "packet too large"},
        {"wrong magic", Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         "Header Error DE AD BE EF"},
    };
    std::vector<Bytes> good;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        good.push_back(packet(0, 64, static_cast<std::uint8_t>(good.size())));
        write_all(bridge.fd[1], cat({c.bad, good.back()}));
        std::string out = step();
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_EQ(avhub::u32BdgSocketLen[kSlot], 0u);
    }
    expect_forwarded(good);
}

TEST_F(IntakeTest, GarbageWithoutMagicKeepsTheLastFourBytes) {
    write_all(bridge.fd[1], Bytes{0x11, 0x22, 0x33});
    std::string out = step();
    EXPECT_NE(out.find(" : Can't Move Data [3] \n"), std::string::npos) << out;
    EXPECT_EQ(avhub::u32BdgSocketLen[kSlot], 3u);

    // The last four bytes may begin a magic: they are kept.
    Bytes p = packet(0, 100, 30);
    write_all(bridge.fd[1], cat({Bytes(60, 0x44), Bytes(p.begin(), p.begin() + 3)}));
    out = step();
    EXPECT_NE(out.find(" : Move Vdo Data [62] 4\n"), std::string::npos) << out;
    write_all(bridge.fd[1], Bytes(p.begin() + 3, p.end()));
    out = step();
    EXPECT_NE(out.find("Get Hdr 1\n"), std::string::npos) << out;
    expect_forwarded({p});
}

// A packet nearly as large as the receive buffer arrives in many pieces,
// more than the free space at times; it is forwarded intact.
TEST_F(IntakeTest, LargePacketFillsTheReceiveBufferAndIsForwardedIntact) {
    Bytes big = packet(0, avhub::kBdgSocketBufSize - 18 - 100, 40);
    Bytes tail = packet(0, 2000, 41);
    Bytes all = cat({big, tail});
    std::size_t sent = 0;
    std::string out;
    for (int round = 0; round < 10000 && forwarded_count() < 2; ++round) {
        if (sent < all.size()) {
            ssize_t n = ::write(bridge.fd[1], all.data() + sent, std::min<std::size_t>(all.size() - sent, 150000));
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
        out += step();
    }
    expect_forwarded({big, tail});
}

}  // namespace
