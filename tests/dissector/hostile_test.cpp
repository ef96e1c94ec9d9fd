// tshark and the dissector over damaged bridge streams, written with the
// simulator's capture writer: garbage, impossible lengths, records cut
// across segments or sharing one. Bad input is flagged, the dissector finds
// the next record, and no input raises a Lua error.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/capture.hpp"
#include "boxsim/client.hpp"
#include "harness/util.hpp"
#include "tshark_view.hpp"
#include "wire/fields.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Dir = sim::core::Capture::Dir;

Bytes packet(std::uint32_t size, std::uint8_t type = 0, std::uint32_t ts = 0) {
    Bytes b(wire::kPacketHeaderSize + size, 0);
    std::copy(wire::kMagic.begin(), wire::kMagic.end(), b.begin());
    wire::PacketHeader h;
    h.u8StreamType = type;
    h.u8StreamCh = 7;
    h.u32TimeStamp = ts;
    h.u32PacketSize = size;
    h.u32Gob = 3;
    wire::store_header_fields(b.data(), h);
    for (std::uint32_t i = 0; i < size; ++i) b[wire::kPacketHeaderSize + i] = static_cast<std::uint8_t>(i * 7 + 1);
    return b;
}

Bytes command(std::uint16_t code, std::uint8_t chan, std::uint8_t agree, bool zero_magic) {
    Bytes b(wire::kCodecCmdSize, 0);
    if (!zero_magic) std::copy(wire::kMagic.begin(), wire::kMagic.end(), b.begin());
    wire::CodecCmd c;
    c.u16Cmd = code;
    c.u8ChanIdx = chan;
    c.u8AgreeFlag = agree;
    wire::store_cmd_fields(b.data(), c);
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t n = std::string::npos) {
    n = std::min(n, b.size() - from);
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// One segment of a connection: who wrote it and its bytes.
struct Seg {
    Dir dir;
    Bytes bytes;
};

struct Case {
    const char* what;
    std::uint16_t port;  // avhub's port: 2004 bitstream, 2005 commands
    std::vector<Seg> segs;
    std::vector<long> sizes;                   // bitstream: payload sizes decoded, in order
    std::vector<std::string> cmds;             // commands: names decoded, in order
    std::set<std::string> experts;             // expert items raised in the stream
};

Bytes garbage(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng() % 0x55 + 1);  // never 00, never 55 AA FF
    return b;
}

std::vector<Case> cases() {
    const Bytes big = packet(3000), p40 = packet(40);
    Bytes huge = packet(0);
    huge[10] = 0xFF, huge[11] = 0xFF, huge[12] = 0xFF, huge[13] = 0x00;
    const Bytes half = packet(200);
    const Bytes split_magic = packet(64);
    const Bytes cut_cmd = boxsim::from_hex("0055aaff0201000000000000000000000000aabb");
    const std::set<std::string> resync{"avbox.bad_magic", "avbox.resync"};
    return {
        {"five garbage bytes, then a packet in the same segment", 2004,
         {{Dir::FromBoxsim, cat({Bytes{1, 2, 3, 4, 5}, packet(100)})}}, {100}, {}, resync},
        {"a header declaring 16 MiB, then a packet", 2004,
         {{Dir::FromBoxsim, cat({huge, packet(64)})}}, {64}, {}, {"avbox.bad_length", "avbox.resync"}},
        {"header and payload cut across segments, then four packets ending in the next segment", 2004,
         {{Dir::FromBoxsim, slice(big, 0, 7)},
          {Dir::FromBoxsim, slice(big, 7, 11)},
          {Dir::FromBoxsim, slice(big, 18, 1000)},
          {Dir::FromBoxsim, slice(big, 1018)},
          {Dir::FromBoxsim, cat({packet(10), packet(20), packet(0), slice(p40, 0, 5)})},
          {Dir::FromBoxsim, slice(p40, 5)}},
         {3000, 10, 20, 0, 40}, {}, {}},
        {"a whole packet and the first 40 bytes of the next, then the end", 2004,
         {{Dir::FromBoxsim, cat({packet(100), slice(half, 0, 40)})}}, {100}, {}, {}},
        {"5000 bytes of garbage in three segments", 2004,
         {{Dir::FromBoxsim, garbage(1000, 1)}, {Dir::FromBoxsim, garbage(3000, 2)}, {Dir::FromBoxsim, garbage(1000, 3)}},
         {}, {}, resync},
        {"garbage ending in half a magic, the rest of the packet in the next segment", 2004,
         {{Dir::FromBoxsim, cat({garbage(10, 4), slice(split_magic, 0, 2)})}, {Dir::FromBoxsim, slice(split_magic, 2)}},
         {64}, {}, resync},
        {"an audio and a content packet beside video, and an unknown stream type", 2004,
         {{Dir::FromBoxsim, cat({packet(30, 1), packet(31, 2), packet(32, 9), packet(33, 0)})}},
         {30, 31, 32, 33}, {}, {"avbox.bad_stream_type"}},
        {"a command cut short after 20 bytes, then a whole one", 2005,
         {{Dir::FromBoxsim, cut_cmd}, {Dir::FromBoxsim, command(wire::REQ_VDO_ENC, 0, 0, false)}},
         {}, {"REQ_VDO_ENC"}, {"avbox.cut_short", "avbox.resync"}},
        {"avhub's zero-magic request, its acknowledgement behind garbage, a pair, a stray and an unknown code", 2005,
         {{Dir::ToBoxsim, command(wire::REQ_VDO_ENC, 0, 0, true)},
          {Dir::FromBoxsim, cat({Bytes{9, 9, 9}, command(wire::ACK_VDO_ENC, 0, 1, false),
                                 command(wire::REQ_ADO_DEC_CLOSE, 12, 0, false)})},
          {Dir::ToBoxsim, cat({command(wire::ACK_ADO_DEC_CLOSE, 12, 1, true), slice(command(600, 0, 0, true), 0, 30)})},
          {Dir::ToBoxsim, slice(command(600, 0, 0, true), 30)},
          {Dir::FromBoxsim, command(wire::ACK_VDO_CLOSE, 0, 0, false)}},
         {}, {"REQ_VDO_ENC", "ACK_VDO_ENC", "REQ_ADO_DEC_CLOSE", "ACK_ADO_DEC_CLOSE", "unknown 600", "ACK_VDO_CLOSE"},
         {"avbox.bad_magic", "avbox.resync", "avbox.unknown_cmd", "avbox.no_request", "avbox.refused"}},
    };
}

TEST(DissectorHostile, BadInputIsFlaggedAndTheNextRecordFoundWithoutLuaErrors) {
    if (dissect::tshark_path().empty()) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it)";
    harness::TempDir dir;
    const std::string file = dir.path() + "/hostile.pcapng";
    const auto all = cases();
    {
        sim::core::Capture cap;
        ASSERT_EQ(cap.open(file), 0);
        long long t = 1000000;
        for (std::size_t i = 0; i < all.size(); ++i) {
            const int conn = cap.begin_tcp(htonl(0x7F000001), htons(static_cast<std::uint16_t>(40000 + i)),
                                           htonl(0x7F000001), htons(all[i].port));
            for (const auto& s : all[i].segs) cap.data(conn, s.dir, s.bytes, t += 1000);
            cap.end(conn);
        }
    }
    const auto view = dissect::run_tshark(file);
    ASSERT_TRUE(view) << "tshark failed on " << file;
    EXPECT_FALSE(view->lua_error);
    EXPECT_EQ(view->errors.find("Lua"), std::string::npos) << view->errors;

    for (std::size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(all[i].what);
        std::vector<long> sizes;
        std::vector<std::string> cmds;
        for (const auto& r : view->records) {
            if (r.stream != static_cast<int>(i)) continue;
            if (r.get("avbox.record").size() == 2 * wire::kPacketHeaderSize)
                sizes.push_back(std::stol(r.get("avbox.u32PacketSize")));
            else
                cmds.push_back(r.get("avbox.cmd_name"));
        }
        EXPECT_EQ(sizes, all[i].sizes);
        EXPECT_EQ(cmds, all[i].cmds);
        const auto it = view->experts.find(static_cast<int>(i));
        EXPECT_EQ(it == view->experts.end() ? std::set<std::string>{} : it->second, all[i].experts);
    }

    // The acknowledgements of the dialogue point at their requests, and back.
    const int dialogue = static_cast<int>(all.size() - 1);
    std::map<std::string, const dissect::Record*> by_name;
    for (const auto& r : view->records)
        if (r.stream == dialogue) by_name[r.get("avbox.cmd_name")] = &r;
    for (const auto& [req, ack] : {std::pair{"REQ_VDO_ENC", "ACK_VDO_ENC"}, {"REQ_ADO_DEC_CLOSE", "ACK_ADO_DEC_CLOSE"}}) {
        ASSERT_TRUE(by_name.count(req) && by_name.count(ack)) << req;
        EXPECT_EQ(by_name[ack]->get("avbox.request_in"), std::to_string(by_name[req]->frame)) << ack;
        EXPECT_EQ(by_name[ack]->get("avbox.request_cmd"), req);
        EXPECT_EQ(by_name[req]->get("avbox.response_in"), std::to_string(by_name[ack]->frame)) << req;
        EXPECT_FALSE(by_name[ack]->get("avbox.response_time").empty());
    }
    EXPECT_EQ(by_name["ACK_VDO_CLOSE"]->get("avbox.request_in"), "");
}

}  // namespace

namespace {

// Any other port: nothing by default, the records with "Decode As".
TEST(DissectorHostile, DecodeAsWorksOnAnyPort) {
    if (dissect::tshark_path().empty()) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it)";
    harness::TempDir dir;
    const std::string file = dir.path() + "/other-port.pcapng";
    {
        sim::core::Capture cap;
        ASSERT_EQ(cap.open(file), 0);
        const int conn = cap.begin_tcp(htonl(0x7F000001), htons(40000), htonl(0x7F000001), htons(3000));
        cap.data(conn, Dir::FromBoxsim, cat({packet(100), packet(5)}), 1000000);
        cap.end(conn);
    }
    const auto plain = dissect::run_tshark(file);
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->records.empty());
    const auto decoded = dissect::run_tshark(file, 60, {"-d", "tcp.port==3000,avbox_stream"});
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->records.size(), 2u);
    EXPECT_EQ(decoded->records[0].get("avbox.u32PacketSize"), "100");
    EXPECT_EQ(decoded->records[1].get("avbox.u32PacketSize"), "5");
    EXPECT_FALSE(decoded->lua_error);
}

}  // namespace

namespace {

// Seeded damage of every kind at once: valid records of both kinds with
// bytes flipped, lengths overwritten, pieces dropped and cut at random, on
// every registered port. Whatever comes of it, no Lua error, and the
// undamaged records still decode.
TEST(DissectorHostile, RandomDamageNeverRaisesALuaError) {
    if (dissect::tshark_path().empty()) GTEST_SKIP() << "tshark is not installed (scripts/deps.sh installs it)";
    harness::TempDir dir;
    const std::string file = dir.path() + "/random.pcapng";
    std::mt19937 rng(20261210);
    const std::uint16_t ports[] = {2004, 2005, 2006, 2007, 2110, 2111, 2112, 2113};
    {
        sim::core::Capture cap;
        ASSERT_EQ(cap.open(file), 0);
        long long t = 1000000;
        for (int i = 0; i < 40; ++i) {
            const std::uint16_t port = ports[i % 8];
            Bytes stream;
            for (int r = 0; r < 30; ++r) {
                Bytes rec = (port == 2005 || port == 2007 || port == 2111)
                                ? command(static_cast<std::uint16_t>(500 + rng() % 80), 1, 1, rng() % 2 == 0)
                                : packet(rng() % 3000, static_cast<std::uint8_t>(rng() % 3));
                switch (rng() % 6) {
                case 0: rec[rng() % rec.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255); break;
                case 1: if (rec.size() > 14) wire::store_be32(rec.data() + 10, static_cast<std::uint32_t>(rng())); break;
                case 2: rec.resize(rng() % rec.size()); break;
                default: break;
                }
                stream.insert(stream.end(), rec.begin(), rec.end());
            }
            const int conn = cap.begin_tcp(htonl(0x7F000001), htons(static_cast<std::uint16_t>(41000 + i)),
                                           htonl(0x7F000001), htons(port));
            for (std::size_t at = 0; at < stream.size();) {
                const std::size_t n = std::min<std::size_t>(1 + rng() % 2000, stream.size() - at);
                cap.data(conn, rng() % 4 == 0 ? Dir::ToBoxsim : Dir::FromBoxsim, slice(stream, at, n), t += 500);
                at += n;
            }
            cap.end(conn);
        }
    }
    const auto view = dissect::run_tshark(file);
    ASSERT_TRUE(view);
    EXPECT_FALSE(view->lua_error);
    EXPECT_EQ(view->errors.find("Lua"), std::string::npos) << view->errors;
    EXPECT_GT(view->records.size(), 200u);
}

}  // namespace
