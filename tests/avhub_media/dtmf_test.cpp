// DTMF tones end to end: avhub plays a tone file on audio decoder channel 1
// and runs the real panectl against the quad display server around it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media_box.hpp"
#include "wire/codes.hpp"

namespace media_test {
namespace {

constexpr const char* kAdoDecCmd = "ado_dec_cmd_socket";
constexpr const char* kAdoDecStrm = "ado_dec_server_socket";

std::string tone_path(int key) { return std::string(kTivaneDir) + "/snd" + std::to_string(key) + ".711"; }

// Each key's file is filled with its own byte, so the bytes on the decoder
// tell which file was played.
std::string tone_bytes(int key, std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(0x40 + key + (i / 160) * 16);
    return s;
}

using Dtmf = MediaBox;

std::vector<std::string> quad_texts(const boxsim::Records& r) {
    std::vector<std::string> out;
    for (const auto& e : r.events("quad")) out.push_back(e.get("text"));
    return out;
}

TEST_F(Dtmf, PlaysWholeBlocksOnChannelOneFramedByDisplayCommands) {
    ASSERT_TRUE(harness::write_file(tone_path(5), tone_bytes(5, 1000)));
    fifo("dtmf 5\n");
    ASSERT_TRUE(rec().wait_commands(kAdoDecCmd, 2, 10s));
    ASSERT_TRUE(rec().wait([](const boxsim::Records& r) { return r.events("quad").size() >= 4; }, 5s));
    sync();

    const auto cmds = decoded(rec().commands(kAdoDecCmd));
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0].cmd, wire::REQ_ADO_DEC);
    EXPECT_EQ(cmds[0].type, wire::STD_G711U);
    EXPECT_EQ(cmds[0].chan, 1);
    const auto open = rec().commands(kAdoDecCmd)[0].cmd;
    EXPECT_EQ(open.u16ByteNumPerBlk, 160);
    EXPECT_EQ(open.u16BitRate, 8);
    EXPECT_EQ(cmds[1].cmd, wire::REQ_ADO_CLOSE);
    EXPECT_EQ(cmds[1].chan, 1);

    // 1000 bytes: six whole blocks, the last 40 bytes are not played.
    const auto chunks = rec().chunks(kAdoDecStrm);
    ASSERT_EQ(chunks.size(), 6u);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].hdr.u8StreamType, wire::kStreamAudio);
        EXPECT_EQ(chunks[i].hdr.u8StreamCh, 1);
        EXPECT_EQ(chunks[i].hdr.u32TimeStamp, i);
        EXPECT_EQ(chunks[i].hdr.u32PacketSize, 160u);
        EXPECT_EQ(chunks[i].hdr.u32Gob, 0u);
    }
    EXPECT_EQ(rec().rx_bytes(kAdoDecStrm), tone_bytes(5, 960));
    // About 10 ms between blocks: never sent in one burst.
    EXPECT_GE(chunks.back().t_us - chunks.front().t_us, 40000);

    const auto quads = rec().events("quad");
    ASSERT_EQ(quad_texts(rec()), (std::vector<std::string>{"o t 9 1 ", "o t 5 1 ", "o t 9 0 ", "o t 5 0 "}));
    EXPECT_EQ(quads[0].get("hex"), "6f20742039203120" + std::string(48, '0'));
    // Indicator on before the blocks (10 ms before the first), off after
    // them (100 ms after the last).
    EXPECT_LT(quads[1].num("t"), chunks[1].t_us);
    EXPECT_GT(quads[2].num("t"), chunks.back().t_us);
    EXPECT_TRUE(hub().wait_stdout("Read File 5 160", 1s));
}

TEST_F(Dtmf, KeyIndexPicksTheFile) {
    struct Case {
        const char* command;
        int key;
    };
    for (int key : {0, 10, 11}) ASSERT_TRUE(harness::write_file(tone_path(key), tone_bytes(key, 320)));
    const Case cases[] = {{"dtmf 11\n", 11}, {"dtmf\n", 0}, {"dtmf 10\n", 10}, {"dtmf  0\n", 0}};
    std::string expected;
    for (const Case& c : cases) {
        fifo(c.command);
        expected += tone_bytes(c.key, 320);
    }
    sync();
    ASSERT_TRUE(rec().wait([](const boxsim::Records& r) { return r.events("quad").size() >= 16; }, 5s));
    EXPECT_TRUE(rec().wait_chunks(kAdoDecStrm, 8, 5s));
    EXPECT_EQ(rec().rx_bytes(kAdoDecStrm), expected);
    EXPECT_EQ(rec().chunks(kAdoDecStrm).size(), 8u);
}

TEST_F(Dtmf, BadKeyOrMissingFileOpensTheChannelOnly) {
    ASSERT_TRUE(harness::write_file(tone_path(3), tone_bytes(3, 320)));
    for (const char* command : {"dtmf 12\n", "dtmf -1\n", "dtmf 4\n"}) {
        fifo(command);
        EXPECT_TRUE(hub().wait_stdout("OPen DTMF File Error", 10s)) << command;
    }
    sync();
    ASSERT_TRUE(rec().wait_commands(kAdoDecCmd, 3, 5s));
    const auto cmds = decoded(rec().commands(kAdoDecCmd));
    ASSERT_EQ(cmds.size(), 3u);
    for (const auto& c : cmds) {
        EXPECT_EQ(c.cmd, wire::REQ_ADO_DEC);
        EXPECT_EQ(c.chan, 1);
    }
    EXPECT_TRUE(rec().chunks(kAdoDecStrm).empty());
    EXPECT_TRUE(rec().events("quad").empty());
}

TEST_F(Dtmf, FileShorterThanABlockSendsNoAudioButStillFramesTheTone) {
    ASSERT_TRUE(harness::write_file(tone_path(7), tone_bytes(7, 159)));
    fifo("dtmf 7\n");
    sync();
    ASSERT_TRUE(rec().wait_commands(kAdoDecCmd, 2, 5s));
    ASSERT_TRUE(rec().wait([](const boxsim::Records& r) { return r.events("quad").size() >= 4; }, 5s));
    EXPECT_TRUE(rec().chunks(kAdoDecStrm).empty());
    EXPECT_EQ(quad_texts(rec()), (std::vector<std::string>{"o t 9 1 ", "o t 5 1 ", "o t 9 0 ", "o t 5 0 "}));
    const auto cmds = decoded(rec().commands(kAdoDecCmd));
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[1].cmd, wire::REQ_ADO_CLOSE);
}

}  // namespace
}  // namespace media_test
