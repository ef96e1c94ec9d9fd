// The codec servers as the programs' peer: what they record of commands and
// decoder input, what they answer, and what they stream, must be exactly
// what crossed the sockets, or a fault of the programs would go unseen.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boxsim/client.hpp"
#include "harness/util.hpp"
#include "wire/bytes.hpp"
#include "wire/fields.hpp"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// A plain client of one codec endpoint.
class Conn {
public:
    explicit Conn(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Conn() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool ok() const { return fd_ >= 0; }
    void write(const Bytes& b) { ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }
    // Exactly n bytes, or fewer when the deadline passes.
    Bytes read(std::size_t n, std::chrono::milliseconds timeout = 3s) {
        Bytes out;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            std::uint8_t buf[65536];
            ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (r <= 0) break;
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

private:
    int fd_ = -1;
};

Bytes cmd(std::uint16_t code, std::uint16_t type = 0, std::uint8_t ch = 0, std::uint16_t bitrate = 0,
          std::uint16_t blk = 0, std::uint8_t fps = 0, std::uint16_t width = 0, std::uint16_t height = 0) {
    wire::CodecCmd c;
    c.u16VdoWidth = width;
    c.u16VdoHeight = height;
    c.u16Cmd = code;
    c.u16Type = type;
    c.u8ChanIdx = ch;
    c.u16BitRate = bitrate;
    c.u16ByteNumPerBlk = blk;
    c.u8VdoFrRate = fps;
    c.u32VdoEncComplexity = 0x01020304;  // a wide field, to see the byte order
    Bytes out(48);
    std::memcpy(out.data(), wire::kMagic.data(), 4);
    wire::store_cmd_fields(out.data(), c);
    out[47] = 0x5A;  // reserved bytes are recorded as received
    return out;
}

Bytes chunk(std::uint8_t type, std::uint8_t ch, std::uint32_t ts, const std::string& payload, std::uint32_t gob = 0) {
    Bytes out(18);
    std::memcpy(out.data(), wire::kMagic.data(), 4);
    wire::PacketHeader h;
    h.u8StreamType = type;
    h.u8StreamCh = ch;
    h.u32TimeStamp = ts;
    h.u32PacketSize = static_cast<std::uint32_t>(payload.size());
    h.u32Gob = gob;
    wire::store_header_fields(out.data(), h);
    for (char ch8 : payload) out.push_back(static_cast<std::uint8_t>(ch8));
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string path(const char* ep) { return std::string("/tmp/") + ep; }

TEST(BoxsimCodec, RecordsCommandsAsReceivedAndAnswersAudioRequests) {
    HARNESS_REQUIRE_SANDBOX();
    auto box = boxsim::Boxsim::start();
    ASSERT_TRUE(box);
    auto& rec = box->records();

    // Two commands in one write, a third cut across two writes.
    Conn enc(path("ado_enc_cmd_socket"));
    ASSERT_TRUE(enc.ok());
    Bytes a = cmd(514, 9, 2, 24000), b = cmd(529, 11, 2, 12000), c = cmd(518, 9, 2);
    enc.write(cat({a, b, Bytes(c.begin(), c.begin() + 20)}));
    ASSERT_TRUE(rec.wait_commands("ado_enc_cmd_socket", 2, 3s));
    enc.write(Bytes(c.begin() + 20, c.end()));
    ASSERT_TRUE(rec.wait_commands("ado_enc_cmd_socket", 3, 3s));
    auto cmds = rec.commands("ado_enc_cmd_socket");
    ASSERT_EQ(cmds.size(), 3u);
    const Bytes* sent[] = {&a, &b, &c};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Bytes(cmds[i].raw.begin(), cmds[i].raw.end()), *sent[i]) << i;
        EXPECT_EQ(cmds[i].pid, getpid());
    }
    EXPECT_EQ(cmds[0].cmd.u16Cmd, 514);
    EXPECT_EQ(cmds[0].cmd.u16Type, 9);
    EXPECT_EQ(cmds[0].cmd.u8ChanIdx, 2);
    EXPECT_EQ(cmds[0].cmd.u16BitRate, 24000);
    EXPECT_EQ(cmds[0].cmd.u32VdoEncComplexity, 0x01020304u);
    EXPECT_EQ(cmds[2].cmd.reserved[6], 0x5A);
    auto ev = rec.events("cmd", "ado_enc_cmd_socket");
    EXPECT_EQ(ev[0].num("u32VdoEncComplexity"), 0x01020304);
    EXPECT_EQ(ev[1].num("u16BitRate"), 12000);

    Bytes replies = enc.read(3 * 48);
    ASSERT_EQ(replies.size(), 3u * 48);
    const std::uint16_t codes[] = {532, 547, 536};
    for (std::size_t i = 0; i < 3; ++i) {
        wire::CodecCmd r;
        wire::load_cmd_fields(replies.data() + 48 * i, r);
        EXPECT_TRUE(wire::has_magic(replies.data() + 48 * i));
        EXPECT_EQ(r.u16Cmd, codes[i]);
        EXPECT_EQ(r.u8AgreeFlag, 1);
        EXPECT_EQ(r.u8ChanIdx, 2);
    }

    struct Case {
        const char* setup;  // control line before the request, "" for none
        const char* ep;
        std::uint16_t request;
        std::uint16_t reply;
        std::uint8_t agree;
        std::uint8_t ch;
    };
    const Case cases[] = {
        {"", "ado_dec_cmd_socket", 516, 534, 1, 5},
        {"grant-channel 11", "ado_dec_cmd_socket", 516, 534, 1, 11},
        {"refuse ado_dec on", "ado_dec_cmd_socket", 516, 534, 0, 5},
        {"", "ado_dec_cmd_socket", 518, 536, 1, 5},
        {"refuse ado_enc on", "ado_enc_cmd_socket", 514, 532, 0, 5},
        {"", "ado_ctrl_cmd_socket", 530, 548, 1, 5},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.setup) + " " + k.ep + " " + std::to_string(k.request));
        if (*k.setup) {
            ASSERT_TRUE(box->ok(k.setup));
        }
        Conn conn(path(k.ep));
        conn.write(cmd(k.request, 1, 5));
        Bytes r = conn.read(48);
        ASSERT_EQ(r.size(), 48u);
        wire::CodecCmd got;
        wire::load_cmd_fields(r.data(), got);
        EXPECT_EQ(got.u16Cmd, k.reply);
        EXPECT_EQ(got.u8AgreeFlag, k.agree);
        EXPECT_EQ(got.u8ChanIdx, k.ch);
        ASSERT_TRUE(box->ok("grant-channel off"));
        ASSERT_TRUE(box->ok("refuse ado_dec off"));
        ASSERT_TRUE(box->ok("refuse ado_enc off"));
    }

    // Video requests are not answered: nobody reads an answer there.
    Conn vdec(path("T_DecCmd"));
    vdec.write(cmd(517, 0, 0));
    ASSERT_TRUE(rec.wait_commands("T_DecCmd", 1, 3s));
    EXPECT_TRUE(vdec.read(1, 200ms).empty());
    EXPECT_EQ(box->stop(), 0);
}

TEST(BoxsimCodec, DecoderChecksFramingAndKeepsPayloadsByteForByte) {
    HARNESS_REQUIRE_SANDBOX();
    auto box = boxsim::Boxsim::start();
    ASSERT_TRUE(box);
    auto& rec = box->records();
    Conn dcmd(path("T_DecCmd"));
    dcmd.write(cmd(515, 54, 0));
    ASSERT_TRUE(rec.wait_commands("T_DecCmd", 1, 3s));

    Conn strm(path("T_DecStrm"));
    Bytes first = chunk(0, 0, 100, "frame", 0x03000000);  // flags in byte 14, as avhub writes them
    Bytes second = chunk(0, 0, 101, std::string(3000, 'x'), 0x00000007);
    Bytes oversize(18);
    std::memcpy(oversize.data(), wire::kMagic.data(), 4);
    wire::store_be32(oversize.data() + 10, 2u << 20);
    Bytes third = chunk(1, 7, 9, "audio");  // a channel nobody opened
    Bytes empty = chunk(0, 0, 102, "");

    strm.write(cat({{0x12, 0x34}, first, Bytes(second.begin(), second.begin() + 10)}));
    ASSERT_TRUE(rec.wait_chunks("T_DecStrm", 1, 3s));
    strm.write(Bytes(second.begin() + 10, second.end()));
    strm.write(cat({oversize, third, empty}));
    ASSERT_TRUE(rec.wait_chunks("T_DecStrm", 4, 3s));

    auto got = rec.chunks("T_DecStrm");
    ASSERT_EQ(got.size(), 4u);
    struct Want {
        std::uint8_t type, ch;
        std::uint32_t ts, gob;
        std::uint8_t flags;
        bool open;
        std::string payload;
    };
    const Want want[] = {
        {0, 0, 100, 0x03000000, 0, true, "frame"},
        {0, 0, 101, 7, 3, true, std::string(3000, 'x')},
        {1, 7, 9, 0, 0, false, "audio"},
        {0, 0, 102, 0, 0, true, ""},
    };
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].hdr.u8StreamType, want[i].type);
        EXPECT_EQ(got[i].hdr.u8StreamCh, want[i].ch);
        EXPECT_EQ(got[i].hdr.u32TimeStamp, want[i].ts);
        EXPECT_EQ(got[i].hdr.u32Gob, want[i].gob);
        EXPECT_EQ(got[i].flags, want[i].flags);
        EXPECT_EQ(got[i].open, want[i].open);
        EXPECT_EQ(std::string(got[i].payload.begin(), got[i].payload.end()), want[i].payload);
    }
    EXPECT_EQ(rec.rx_bytes("T_DecStrm"), "frame" + std::string(3000, 'x') + "audio");

    auto garbage = rec.events("garbage", "T_DecStrm");
    ASSERT_EQ(garbage.size(), 2u);
    EXPECT_EQ(garbage[0].get("reason"), "magic");
    EXPECT_EQ(garbage[0].get("hex"), "1234");
    EXPECT_EQ(garbage[1].get("reason"), "oversize");
    EXPECT_EQ(garbage[1].num("len"), 18);

    // A client that leaves mid-chunk: the tail is reported, nothing else.
    strm.write(Bytes(first.begin(), first.begin() + 20));
    strm.close();
    ASSERT_TRUE(rec.wait([](const boxsim::Records& r) { return r.events("eof", "T_DecStrm").size() == 1; }, 3s));
    auto tail = rec.events("garbage", "T_DecStrm");
    ASSERT_EQ(tail.size(), 3u);
    EXPECT_EQ(tail[2].get("reason"), "truncated");
    EXPECT_EQ(tail[2].num("len"), 20);
    EXPECT_EQ(rec.chunks("T_DecStrm").size(), 4u);

    EXPECT_EQ(box->stop(), 0);
    EXPECT_TRUE(box->proc().wait_stdout("boxsim: summary T_DecStrm conns=1 cmds=0 replies=0 chunks=4 frames=3 "
                                         "blocks=1 bytes=3010 garbage=3"));
}

TEST(BoxsimCodec, ScriptedWritesArriveAsScripted) {
    HARNESS_REQUIRE_SANDBOX();
    auto box = boxsim::Boxsim::start({.args = {"--no-autostream"}});
    ASSERT_TRUE(box);
    auto& rec = box->records();
    EXPECT_EQ(box->command("send T_EncStrm 00"), "error no client on T_EncStrm");
    EXPECT_EQ(box->command("send nowhere 00"), "error unknown endpoint nowhere");
    EXPECT_EQ(box->command("send T_EncStrm 0g"), "error usage: send EP HEX");

    Conn strm(path("T_EncStrm"));
    ASSERT_TRUE(rec.wait([](const boxsim::Records& r) { return !r.events("accept", "T_EncStrm").empty(); }, 3s));
    const long long conn = rec.events("accept", "T_EncStrm")[0].num("conn");

    // A header cut across three writes with pauses between them.
    ASSERT_EQ(box->command("split T_EncStrm@" + std::to_string(conn) + " 60 0055 aaff0100 000000010000000400000000"),
              "ok 3");
    auto raws = rec.events("raw", "T_EncStrm");
    ASSERT_EQ(raws.size(), 3u);
    EXPECT_GE(raws[1].num("t") - raws[0].num("t"), 50000);
    EXPECT_GE(raws[2].num("t") - raws[1].num("t"), 50000);
    EXPECT_EQ(strm.read(18), boxsim::from_hex("0055aaff0100000000010000000400000000"));

    // A generated packet larger than the tools' 24576-byte chunk, in one write.
    ASSERT_EQ(box->command("packet T_EncStrm 1 3 77 0 30000"), "ok 30018");
    Bytes pkt = strm.read(30018);
    ASSERT_EQ(pkt.size(), 30018u);
    wire::PacketHeader h;
    wire::load_header_fields(pkt.data(), h);
    EXPECT_TRUE(wire::has_magic(pkt.data()));
    EXPECT_EQ(h.u8StreamType, 1);
    EXPECT_EQ(h.u8StreamCh, 3);
    EXPECT_EQ(h.u32TimeStamp, 77u);
    EXPECT_EQ(h.u32PacketSize, 30000u);
    EXPECT_EQ(rec.tx_bytes("T_EncStrm"), std::string(pkt.begin() + 18, pkt.end()));
    auto sent = rec.sent("T_EncStrm");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].src, "script");
    EXPECT_EQ(Bytes(sent[0].raw_header.begin(), sent[0].raw_header.end()), Bytes(pkt.begin(), pkt.begin() + 18));

    // Two packets in one write arrive back to back, unchanged.
    const std::uint8_t pa[] = {1, 2, 3}, pb[] = {9};
    Bytes two = cat({boxsim::make_packet(0, 0, 5, 1, pa), boxsim::make_packet(0, 0, 5, 2, pb)});
    ASSERT_EQ(box->command("send T_EncStrm " + boxsim::to_hex(two)), "ok 40");
    EXPECT_EQ(strm.read(two.size()), two);

    // A header that lies about its length, and an unknown stream type.
    ASSERT_EQ(box->command("header T_EncStrm 7 0 0 3 0xffffffff"), "ok 18");
    EXPECT_EQ(strm.read(18), boxsim::from_hex("0055aaff070000000000ffffffff00000003"));
    EXPECT_EQ(box->stop(), 0);
}

TEST(BoxsimCodec, EncodersStreamFlaggedPiecesUntilClosed) {
    HARNESS_REQUIRE_SANDBOX();
    auto box = boxsim::Boxsim::start({.args = {"--piece-bytes", "500"}});
    ASSERT_TRUE(box);
    auto& rec = box->records();
    Conn strm(path("T_EncStrm")), ctl(path("T_EncCmd"));
    // 240 kbit/s at 25 frames/s: 1200-byte frames in pieces of 500, 500, 200.
    ctl.write(cmd(513, 54, 1, 240, 0, 25));
    Bytes got;
    std::vector<wire::PacketHeader> pieces;
    std::string payloads;
    while (pieces.size() < 9) {
        Bytes hdr = strm.read(18);
        ASSERT_EQ(hdr.size(), 18u);
        wire::PacketHeader h;
        wire::load_header_fields(hdr.data(), h);
        ASSERT_TRUE(wire::has_magic(hdr.data()));
        ASSERT_EQ(hdr[14] | hdr[15] | hdr[16], 0) << "flags live in byte 17 only";
        Bytes body = strm.read(h.u32PacketSize);
        ASSERT_EQ(body.size(), h.u32PacketSize);
        pieces.push_back(h);
        payloads.append(body.begin(), body.end());
    }
    const std::uint32_t sizes[] = {500, 500, 200}, flags[] = {1, 0, 2};
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pieces[i].u8StreamType, 0);
        EXPECT_EQ(pieces[i].u8StreamCh, 1);
        EXPECT_EQ(pieces[i].u32TimeStamp, i / 3);
        EXPECT_EQ(pieces[i].u32PacketSize, sizes[i % 3]);
        EXPECT_EQ(pieces[i].u32Gob, flags[i % 3]);
    }
    EXPECT_EQ(rec.tx_bytes("T_EncStrm").substr(0, payloads.size()), payloads);

    ctl.write(cmd(517, 0, 1));
    ASSERT_TRUE(rec.wait([](const boxsim::Records& r) {
        for (const auto& e : r.events("stream", "T_EncStrm"))
            if (e.get("state") == "stop") return true;
        return false;
    }, 3s));
    std::size_t after_stop = rec.sent("T_EncStrm").size();
    // A client that leaves while the encoder would stream must not hurt.
    strm.close();

    // Audio: the tools' open carries no block length (G.722.1C 48k: 120
    // bytes); avhub's carries one.
    Conn astrm(path("ado_enc_server_socket")), actl(path("ado_enc_cmd_socket"));
    actl.write(cmd(514, 9, 0, 24000));
    actl.write(cmd(514, 10, 4, 64, 640));
    ASSERT_EQ(actl.read(96).size(), 96u);
    ASSERT_TRUE(rec.wait([](const boxsim::Records& r) {
        std::size_t ch0 = 0, ch4 = 0;
        for (const auto& s : r.sent("ado_enc_server_socket")) (s.hdr.u8StreamCh == 0 ? ch0 : ch4)++;
        return ch0 >= 10 && ch4 >= 10;
    }, 5s));
    long long start_t = -1;
    for (const auto& e : rec.events("stream", "ado_enc_server_socket"))
        if (e.num("ch") == 0 && e.get("state") == "start") start_t = e.num("t");
    std::uint32_t next[2] = {0, 0};
    long long tenth_t = -1;
    for (const auto& s : rec.sent("ado_enc_server_socket")) {
        const int i = s.hdr.u8StreamCh == 0 ? 0 : 1;
        EXPECT_EQ(s.hdr.u8StreamType, 1);
        EXPECT_EQ(s.hdr.u32PacketSize, i == 0 ? 120u : 640u);
        EXPECT_EQ(s.hdr.u32Gob, 0u);
        EXPECT_EQ(s.hdr.u32TimeStamp, next[i]++);
        if (i == 0 && s.hdr.u32TimeStamp == 9) tenth_t = s.t_us;
    }
    // Paced, not burst: the tenth block is due ten 20 ms periods after the
    // open (timers never fire early, so only a lower bound is safe).
    ASSERT_GE(start_t, 0);
    EXPECT_GE(tenth_t - start_t, 190000);
    actl.write(cmd(518, 9, 0));
    actl.write(cmd(518, 10, 4));
    ASSERT_EQ(actl.read(96).size(), 96u);

    EXPECT_EQ(rec.sent("T_EncStrm").size(), after_stop);
    EXPECT_TRUE(box->ok("stats"));
    EXPECT_EQ(box->stop(), 0);
}

// Reads one packet (header and payload) from an encoder bitstream.
bool read_packet(Conn& c, wire::PacketHeader& h, Bytes& payload) {
    Bytes hdr = c.read(18);
    if (hdr.size() != 18) return false;
    wire::load_header_fields(hdr.data(), h);
    h.u32Gob = hdr[17] & 3u;
    payload = c.read(h.u32PacketSize);
    return payload.size() == h.u32PacketSize;
}

std::string field(const boxsim::Records& rec, const char* kind, const char* ep, const char* key, int ch) {
    for (const auto& e : rec.events(kind, ep))
        if (e.num("ch") == ch && !e.get(key).empty()) return e.get(key);
    return {};
}

std::vector<std::string> md5s(const boxsim::Records& rec, const char* kind, const char* ep, int ch) {
    std::vector<std::string> out;
    for (const auto& e : rec.events(kind, ep))
        if (e.num("ch") == ch) out.push_back(e.get("md5"));
    return out;
}

TEST(BoxsimCodec, RealMediaCodesWhatTheOpenAsksAndDecodesWhatArrives) {
    HARNESS_REQUIRE_SANDBOX();
    auto box = boxsim::Boxsim::start({.args = {"--real-media", "--piece-bytes", "300"}});
    ASSERT_TRUE(box);
    auto& rec = box->records();
    Conn vstrm(path("T_EncStrm")), vctl(path("T_EncCmd")), dstrm(path("T_DecStrm")), dctl(path("T_DecCmd"));
    // H.264 at 160x120 is coded; H.263 cannot code 1280x720 and stays synthetic.
    vctl.write(cmd(513, 54, 0, 128, 0, 30, 160, 120));
    vctl.write(cmd(513, 52, 1, 128, 0, 30, 1280, 720));
    dctl.write(cmd(515, 54, 0));

    // Five frames of channel 0, joined from their pieces and handed to the
    // decoder as avhub's relay does: one chunk per frame.
    int frames = 0, pieces = 0;
    Bytes frame;
    while (frames < 5) {
        wire::PacketHeader h;
        Bytes payload;
        ASSERT_TRUE(read_packet(vstrm, h, payload));
        if (h.u8StreamCh != 0) continue;
        ++pieces;
        EXPECT_LE(payload.size(), 300u);
        if (h.u32Gob & wire::kGobFirst) frame.clear();
        frame.insert(frame.end(), payload.begin(), payload.end());
        if (h.u32Gob & wire::kGobLast) {
            dstrm.write(cat({chunk(0, 0, static_cast<std::uint32_t>(frames), std::string(frame.begin(), frame.end()))}));
            ++frames;
        }
    }
    EXPECT_GT(pieces, frames) << "the intra picture takes several pieces";
    ASSERT_TRUE(rec.wait([](const boxsim::Records& r) { return r.events("picture", "T_DecStrm").size() >= 5; }, 5s));
    EXPECT_EQ(field(rec, "stream", "T_EncStrm", "media", 0), "h264");
    EXPECT_EQ(field(rec, "stream", "T_EncStrm", "media", 1), "synthetic(h263_cannot_code_1280x720)");
    auto own = md5s(rec, "picture", "T_EncStrm", 0);
    ASSERT_GE(own.size(), 5u);
    own.resize(5);
    EXPECT_EQ(md5s(rec, "picture", "T_DecStrm", 0), own);
    EXPECT_TRUE(rec.events("decode_error").empty());

    // Audio: G.722 is coded, G.722.1 stays synthetic; a G.722 decoder on
    // channel 2 decodes the blocks to what the encoder decoded.
    Conn astrm(path("ado_enc_server_socket")), actl(path("ado_enc_cmd_socket"));
    Conn adstrm(path("ado_dec_server_socket")), adctl(path("ado_dec_cmd_socket"));
    actl.write(cmd(514, 3, 0, 8, 160));
    actl.write(cmd(514, 5, 1, 3, 320));
    adctl.write(cmd(516, 3, 2, 16, 160));
    ASSERT_EQ(adctl.read(48).size(), 48u);
    int blocks = 0;
    while (blocks < 5) {
        wire::PacketHeader h;
        Bytes payload;
        ASSERT_TRUE(read_packet(astrm, h, payload));
        if (h.u8StreamCh != 0) continue;
        EXPECT_EQ(payload.size(), 160u);
        adstrm.write(chunk(1, 2, static_cast<std::uint32_t>(blocks++), std::string(payload.begin(), payload.end())));
    }
    ASSERT_TRUE(rec.wait([](const boxsim::Records& r) {
        return r.events("sound", "ado_dec_server_socket").size() >= 5;
    }, 5s));
    EXPECT_EQ(field(rec, "stream", "ado_enc_server_socket", "media", 0), "g722");
    EXPECT_EQ(field(rec, "stream", "ado_enc_server_socket", "media", 1).rfind("synthetic(", 0), 0u);
    auto own_snd = md5s(rec, "sound", "ado_enc_server_socket", 0);
    ASSERT_GE(own_snd.size(), 5u);
    own_snd.resize(5);
    EXPECT_EQ(md5s(rec, "sound", "ado_dec_server_socket", 2), own_snd);

    // A close ends the video stream's sheet; the end of the run the WAV file.
    dctl.write(cmd(517, 0, 0));
    ASSERT_TRUE(rec.wait([](const boxsim::Records& r) {
        return !field(r, "decoder", "T_DecStrm", "sheet", 0).empty();
    }, 3s));
    const std::string sheet = field(rec, "decoder", "T_DecStrm", "sheet", 0);
    EXPECT_EQ(harness::read_file(sheet).value_or("").substr(1, 3), "PNG") << sheet;
    EXPECT_EQ(box->stop(), 0);
    const std::string wav = field(rec, "decoder", "ado_dec_server_socket", "wav", 2);
    const std::string bytes = harness::read_file(wav).value_or("");
    EXPECT_EQ(bytes.substr(0, 4), "RIFF") << wav;
    EXPECT_EQ(bytes.size(), 44u + 5 * 320 * 2) << "five blocks of 320 samples at 16 kHz";
}

TEST(BoxsimCodec, LateEndpointsAndCleanExit) {
    HARNESS_REQUIRE_SANDBOX();
    auto box = boxsim::Boxsim::start({.args = {"--late", "T_DecCmd:3"}});
    ASSERT_TRUE(box);
    auto listed = [](const char* p) { return harness::read_file("/proc/net/unix")->find(p) != std::string::npos; };
    EXPECT_TRUE(listed("/tmp/T_EncCmd"));
    EXPECT_FALSE(listed("/tmp/T_DecCmd"));
    EXPECT_TRUE(box->proc().wait_stdout("boxsim: up /tmp/T_DecCmd", 10s));
    EXPECT_TRUE(listed("/tmp/T_DecCmd"));

    ASSERT_TRUE(box->ok("late T_EncCmd 30"));
    EXPECT_FALSE(listed("/tmp/T_EncCmd"));
    EXPECT_FALSE(Conn(path("T_EncCmd")).ok());
    ASSERT_TRUE(box->ok("up T_EncCmd"));
    EXPECT_TRUE(Conn(path("T_EncCmd")).ok());

    box->proc().signal(SIGINT);
    EXPECT_EQ(box->proc().wait_exit(5s), 0);
    EXPECT_EQ(box->proc().count_stdout("boxsim: summary "), 13u);
    EXPECT_TRUE(box->proc().wait_stdout("boxsim: exit"));
    EXPECT_FALSE(harness::file_exists("/tmp/T_EncStrm"));
}

TEST(BoxsimCodec, CommandLineErrorsExitWithStatus2) {
    HARNESS_REQUIRE_SANDBOX();
    const std::vector<std::string> bad[] = {
        {"--seed", "x"}, {"--late", "nowhere:1"}, {"--late", "T_EncCmd"}, {"--refuse", "video"},
        {"--roles", "toaster"}, {"--piece-bytes", "0"}, {"--bogus"}, {"--record"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        auto p = harness::Proc::start("boxsim", args);
        EXPECT_EQ(p->wait_exit(5s), 2);
    }
    auto help = harness::Proc::start("boxsim", {"--help"});
    EXPECT_EQ(help->wait_exit(5s), 0);
    EXPECT_TRUE(help->wait_stdout("--late EP:SECONDS"));
}

}  // namespace
