// The control FIFO command table, fed one read at a time through the
// dispatcher with recording stand-ins for the other modules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fifo_cmd.hpp"
#include "globals.hpp"

namespace {

std::vector<std::string> g_calls;
std::uint32_t g_box_count = 0;
int g_box_steps = 0;

avhub::FifoHooks recorder() {
    return avhub::FifoHooks{
        [] { g_calls.push_back("start_test"); },
        [] { g_calls.push_back("stop_test"); },
        [](int key) { g_calls.push_back("play_dtmf " + std::to_string(key)); },
        [](std::string_view name) { g_calls.push_back("play [" + std::string(name) + "]"); },
        [] { g_calls.push_back("finish"); },
        [] { g_calls.push_back("box_wait_begin"); },
        [] { ++g_box_steps; },
        [] { return g_box_count; },
        [] { g_calls.push_back("close_box_clients"); },
        [](const char* cmd) {
            g_calls.push_back(std::string("shell ") + cmd);
            return 0;
        },
    };
}

struct Fed {
    avhub::FifoAction action;
    std::string out;
};

Fed feed(std::string_view bytes) {
    testing::internal::CaptureStdout();
    auto action = avhub::handle_fifo_cmd(std::span<const char>(bytes.data(), bytes.size()), recorder());
    return {action, testing::internal::GetCapturedStdout()};
}

class FifoCmd : public testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_box_count = 0;
        g_box_steps = 0;
        avhub::CodecType = 54;
        avhub::Width = 1280;
        avhub::Height = 720;
        avhub::FrameRate = 30;
        avhub::BitRate = 1024;
        avhub::AdoType = 1;
        avhub::TestTime = 0;
        avhub::u32VcbMode = 0;
    }
};

TEST_F(FifoCmd, CommandsCallTheirModules) {
    struct Case {
        std::string in;
        std::vector<std::string> calls;
        std::string printed;  // expected in stdout ("" = no check)
    };
    const Case cases[] = {
        {"start\n", {"start_test"}, "Start Test!!\n"},
        {"stop\n", {"stop_test"}, "Stop Test!!\n"},
        {"stopwatch", {"stop_test"}, "Stop Test!!\n"},  // the keyword decides
        {"dtmf 5\n", {"play_dtmf 5"}, "DTMF 5\n"},
        {"dtmf\n", {"play_dtmf 0"}, "DTMF 0\n"},
        {"dtmf -1\n", {"play_dtmf -1"}, "DTMF -1\n"},
        {"dtmf11", {"play_dtmf 11"}, "DTMF 11\n"},
        {"vcb_stop\n", {"stop_test", "close_box_clients"}, "Stop VCB Test!!\n"},
        {"finish\n", {"finish"}, ""},
        {"play /mnt/clip.avi\n", {"play [/mnt/clip.avi]"}, ""},
        {"play x", {"play [x]"}, ""},  // no line break: nothing cut
        // Only the first command of a read runs.
        {"start\nstop\n", {"start_test"}, "Start Test!!\n"},
        {"sto", {}, "User Input sto \n"},
        {"hello\n", {}, "User Input hello\n \n"},
        {"width ", {}, "User Input width  \n"},  // a bare keyword is no command
        {"vcb_sto", {}, "User Input vcb_sto \n"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.in);
        g_calls.clear();
        Fed r = feed(k.in);
        EXPECT_EQ(r.action, avhub::FifoAction::kContinue);
        EXPECT_EQ(g_calls, k.calls);
        EXPECT_NE(r.out.find("fifo [" + k.in + "]" + std::to_string(k.in.size()) + "\n"), std::string::npos) << r.out;
        if (!k.printed.empty()) {
            EXPECT_NE(r.out.find(k.printed), std::string::npos) << r.out;
        }
    }
}

TEST_F(FifoCmd, StartAndVcbStartSetTheMode) {
    avhub::u32VcbMode = 1;
    feed("start\n");
    EXPECT_EQ(avhub::u32VcbMode, 0u);
    g_box_count = 1;
    Fed r = feed("vcb_start\n");
    EXPECT_EQ(avhub::u32VcbMode, 1u);
    EXPECT_NE(r.out.find("Start VCB Test!!\n"), std::string::npos);
    // A connected bridge ends the wait after one service step.
    EXPECT_EQ(g_box_steps, 1);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"start_test", "box_wait_begin", "start_test"}));
}

TEST_F(FifoCmd, SettingsAcceptedAndRefused) {
    struct Case {
        std::string in;
        std::int32_t* setting;
        std::int32_t after;
        std::string printed;
    };
    const Case cases[] = {
        {"video 52\n", &avhub::CodecType, 52, "change video type 54 => 52 \n"},
        {"video 55\n", &avhub::CodecType, 54, "Error Video Codec Type 54 \n"},
        {"video 50\n", &avhub::CodecType, 54, "Error Video Codec Type 54 \n"},
        {"audio 11\n", &avhub::AdoType, 11, ""},
        {"audio 0\n", &avhub::AdoType, 1, "Error Audio Codec Type 1 \n"},
        {"audio 12\n", &avhub::AdoType, 1, "Error Audio Codec Type 1 \n"},
        {"vdo_fr 30\n", &avhub::FrameRate, 30, "change fr 30 => 30 \n"},
        {"vdo_fr 1\n", &avhub::FrameRate, 1, "change fr 30 => 1 \n"},
        {"vdo_fr 0\n", &avhub::FrameRate, 30, "err fr 0 \n"},
        {"vdo_fr 31\n", &avhub::FrameRate, 30, "err fr 31 \n"},
        {"vdo_bit 2048\n", &avhub::BitRate, 2048, "change bit rate  1024 => 2048 \n"},
        {"vdo_bit 0\n", &avhub::BitRate, 1024, "err bit rate  0 \n"},
        {"vdo_bit x\n", &avhub::BitRate, 1024, "err bit rate  0 \n"},
        {"width -5\n", &avhub::Width, -5, "change width  1280 => -5 \n"},
        {"width 0\n", &avhub::Width, 1280, "err width  0 \n"},
        {"height 576\n", &avhub::Height, 576, "change height  720 => 576 \n"},
        {"height 0\n", &avhub::Height, 720, "err height  0 \n"},
        {"time 10\n", &avhub::TestTime, 10, "change test time  0 => 10 \n"},
        {"time 0\n", &avhub::TestTime, 0, "err test time  0 \n"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.in);
        SetUp();
        Fed r = feed(k.in);
        EXPECT_EQ(*k.setting, k.after);
        if (!k.printed.empty()) {
            EXPECT_NE(r.out.find(k.printed), std::string::npos) << r.out;
        }
        EXPECT_EQ(r.out.find("User Input"), std::string::npos) << r.out;
        EXPECT_TRUE(g_calls.empty());
    }
}

TEST_F(FifoCmd, PlayNameLongerThan255IsRefused) {
    std::string ok_name(255, 'a');
    feed("play " + ok_name + "\n");
    EXPECT_EQ(g_calls, (std::vector<std::string>{"play [" + ok_name + "]"}));
    g_calls.clear();
    Fed r = feed("play " + std::string(256, 'b') + "\n");
    EXPECT_TRUE(g_calls.empty());
    EXPECT_NE(r.out.find("Play name too long [256]"), std::string::npos) << r.out;
}

TEST_F(FifoCmd, CloseAsksForShutdown) {
    EXPECT_EQ(feed("close\n").action, avhub::FifoAction::kClose);
    EXPECT_EQ(feed("closed").action, avhub::FifoAction::kClose);
    EXPECT_EQ(feed("clos").action, avhub::FifoAction::kContinue);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(FifoCmd, GetWanIpRunsTheWorkingDirectoryProgramQuoted) {
    Fed r = feed("get_wan_ip\n");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    std::string path = std::string(cwd) + "/get_wan_ip";
    EXPECT_NE(r.out.find("CMD[" + path + "] \n"), std::string::npos) << r.out;
    EXPECT_EQ(g_calls, (std::vector<std::string>{"shell '" + path + "'"}));
}

TEST_F(FifoCmd, ReadsLongerThanTheBufferAreCut) {
    std::string big(5000, 'z');
    Fed r = feed(big);
    EXPECT_NE(r.out.find("]4096\n"), std::string::npos);
}

}  // namespace
