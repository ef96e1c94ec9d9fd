// A stage's items read from a small record directory written as boxsim
// writes it: a line is read only once complete, payloads are read after the
// lines that point at them, and an encoder's items are those between each
// stream's start and stop.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "flows.hpp"
#include "harness/util.hpp"

namespace {

void append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

std::string sent(int ch, int ts, int piece, int pieces, int off, int size, const char* kind = "sent") {
    return std::string("ev=") + kind + "\tep=T_EncStrm\tt=1\tconn=3\tu8StreamCh=" + std::to_string(ch) +
           "\tu32TimeStamp=" + std::to_string(ts) + "\tpiece=" + std::to_string(piece) + "\tpieces=" +
           std::to_string(pieces) + "\tflags=3\toff=" + std::to_string(off) + "\tu32PacketSize=" + std::to_string(size) +
           "\n";
}

std::string stream(const char* state) {
    return std::string("ev=stream\tep=T_EncStrm\tt=1\tch=0\tstate=") + state + "\n";
}

TEST(Snapshot, ALineCountsOnceCompleteAndPayloadsAreReadAfterIt) {
    harness::TempDir dir;
    append(dir / "events.tsv", stream("start") + sent(0, 0, 0, 1, 0, 4) + "ev=sent\tep=T_Enc");
    append(dir / "T_EncStrm.tx", "abcd");
    demo::Snapshot snap(dir.path(), 0);
    snap.refresh();
    ASSERT_EQ(snap.events().size(), 2u) << "the unfinished line waits";
    EXPECT_EQ(snap.end(), (stream("start") + sent(0, 0, 0, 1, 0, 4)).size());

    // boxsim appends the payload, then writes the line: a payload the
    // snapshot's lines point at is there when it is read, after them.
    append(dir / "T_EncStrm.tx", "efgh");
    append(dir / "events.tsv", std::string("Strm\tt=1\tconn=3\tu8StreamCh=0\tu32TimeStamp=1\tpiece=0\tpieces=1\t") +
                                   "flags=3\toff=4\tu32PacketSize=4\n");
    snap.refresh();
    ASSERT_EQ(snap.events().size(), 3u);
    const auto f = demo::flows::frames(snap, "T_EncStrm", 0);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].data, "abcd");
    EXPECT_EQ(f[1].data, "efgh");
    EXPECT_FALSE(demo::flows::stopped(demo::flows::streams(snap, "T_EncStrm", 0)));

    // A window that begins where the last one ended sees only what came after.
    demo::Snapshot next(dir.path(), snap.end());
    append(dir / "events.tsv", stream("stop"));
    next.refresh();
    ASSERT_EQ(next.events().size(), 1u);
    EXPECT_EQ(next.events()[0].get("state"), "stop");
}

TEST(Flows, AnEncodersItemsAreWhatItSentFromEachStartToItsStop) {
    harness::TempDir dir;
    append(dir / "T_EncStrm.tx", "aabbccddee");
    append(dir / "events.tsv",
           sent(0, 9, 0, 1, 0, 2) +                                               // before any start: not this stage's
           stream("start") + sent(0, 0, 0, 2, 2, 2) + sent(0, 0, 1, 2, 4, 2) +    // frame 0 in two pieces
           sent(1, 0, 0, 1, 6, 2) +                                               // another channel
           sent(0, 1, 0, 2, 6, 2) + sent(0, 1, 1, 2, 0, 0, "drop") + stream("stop") +  // frame 1 lost a piece
           stream("start") + sent(0, 0, 0, 1, 8, 2) + stream("stop"));            // a second stream, from 0 again
    demo::Snapshot snap(dir.path(), 0);
    snap.refresh();
    EXPECT_TRUE(demo::flows::stopped(demo::flows::streams(snap, "T_EncStrm", 0)));
    const auto f = demo::flows::frames(snap, "T_EncStrm", 0);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].label, "frame ts=0 of stream 1");
    EXPECT_EQ(f[0].data, "bbcc");
    EXPECT_EQ(f[0].broken, "");
    EXPECT_EQ(f[1].label, "frame ts=1 of stream 1");
    EXPECT_EQ(f[1].broken, "1 of 2 pieces could not be sent (avhub was not reading)");
    EXPECT_EQ(f[2].label, "frame ts=0 of stream 2");
    EXPECT_EQ(f[2].data, "ee");
}

}  // namespace
