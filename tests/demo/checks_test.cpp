// Matching of sent against arrived traffic: a lost, extra or corrupted
// packet or block must never pass as matched.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "checks.hpp"

namespace {

using demo::checks::Packets;

boxsim::ChunkEvent piece(std::uint8_t flags, const std::string& data) {
    boxsim::ChunkEvent c;
    c.flags = flags;
    c.payload.assign(data.begin(), data.end());
    return c;
}

TEST(JoinFrames, PiecesJoinByTheirFlagsAndStrayPiecesAreNoFrame) {
    const std::vector<boxsim::ChunkEvent> pieces{
        piece(3, "whole"),                                       // a frame in one piece
        piece(1, "ab"),  piece(0, "cd"), piece(2, "ef"),         // first, middle, last
        piece(0, "stray"), piece(2, "lost-last"),                // no frame open
        piece(1, "x"),   piece(3, "next"),                       // a whole frame ends an open one
        piece(1, "gh"),  piece(2, "ij"),
        piece(1, "unfinished"),                                  // open at the end
    };
    EXPECT_EQ(demo::checks::join_frames(pieces), (Packets{"whole", "abcdef", "next", "ghij"}));
}

TEST(MatchPackets, CountsOnlyIntactPacketsInTheirPlace) {
    const Packets sent{"aaaa", "bbbb", "cccc"};
    struct Case {
        const char* name;
        Packets arrived;
        long long matched;
        bool ok;
        const char* note;
    };
    const std::vector<Case> cases{
        {"all intact", {"aaaa", "bbbb", "cccc"}, 3, true, ""},
        {"one byte changed", {"aaaa", "bxbb", "cccc"}, 2, false, "packet 1 differs"},
        {"last one lost", {"aaaa", "bbbb"}, 2, false, "1 packets missing"},
        {"one more than sent", {"aaaa", "bbbb", "cccc", "dddd"}, 3, false, "1 packets more than sent"},
        {"cut short", {"aaaa", "bbb", "cccc"}, 2, false, "packet 1 differs"},
        {"out of order", {"bbbb", "aaaa", "cccc"}, 1, false, "packet 0 differs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto t = demo::checks::match_packets("flow", sent, c.arrived);
        EXPECT_EQ(t.sent, 3);
        EXPECT_EQ(t.arrived, static_cast<long long>(c.arrived.size()));
        EXPECT_EQ(t.matched, c.matched);
        EXPECT_EQ(t.ok(), c.ok);
        EXPECT_NE(t.note.find(c.note), std::string::npos) << t.note;
    }
    EXPECT_FALSE(demo::checks::match_packets("nothing", {}, {}).ok()) << "a flow that carried nothing proves nothing";
}

TEST(MatchBlocks, StreamIsComparedBlockByBlock) {
    // Sent in packets of any size; delivered in 4-byte blocks. A trailing
    // part shorter than a block is never delivered.
    const std::string sent = "0123456789abcd";
    struct Case {
        const char* name;
        Packets arrived;
        long long matched;
        bool ok;
    };
    const std::vector<Case> cases{
        {"whole blocks", {"0123", "4567", "89ab"}, 3, true},
        {"corrupted block", {"0123", "4567", "89aX"}, 2, false},
        {"block lost in the middle", {"0123", "89ab"}, 1, false},
        {"short block", {"012", "3456", "789a"}, 2, false},
        {"block beyond the stream", {"0123", "4567", "89ab", "cd\0\0"}, 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto t = demo::checks::match_blocks("flow", sent, c.arrived, 4);
        EXPECT_EQ(t.sent, 3);
        EXPECT_EQ(t.matched, c.matched);
        EXPECT_EQ(t.ok(), c.ok);
    }
}

}  // namespace
