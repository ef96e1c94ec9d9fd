// avhub serving its control FIFO in the sandbox: log lines on stdout and the
// system log, one command per read, get_wan_ip, and the close sequence.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "avhub_run.hpp"
#include "codec_listeners.hpp"
#include "harness/syslog.hpp"

namespace {

using namespace std::chrono_literals;
using spine_test::CodecListeners;
using spine_test::kEndpoints;

class Serving : public testing::Test {
protected:
    void SetUp() override {
        HARNESS_REQUIRE_SANDBOX();
        servers.listen_all();
        // get_wan_ip of the working directory: records its arguments, and
        // takes a moment so that avhub's wait for it shows.
        const std::string script = cwd / "get_wan_ip";
        ASSERT_TRUE(harness::write_file(script, "#!/bin/sh\nsleep 0.3\necho \"args=$#\" > \"$(dirname \"$0\")/ran\"\n"));
        ASSERT_EQ(chmod(script.c_str(), 0755), 0);
        p = spine_test::start_avhub(spine_test::kGoodArgs, cwd.path());
        ASSERT_TRUE(p->wait_stdout("AvHub PID", 10s)) << p->stdout_text();
        ASSERT_TRUE(p->wait_stdout("==================waiting", 5s));
    }
    void TearDown() override {
        p.reset();
        spine_test::clean_fixed_paths();
    }

    harness::SyslogCapture log;
    CodecListeners servers;
    harness::TempDir cwd;
    std::unique_ptr<harness::Proc> p;
};

TEST_F(Serving, EachReadIsLoggedAndOnlyItsFirstCommandRuns) {
    ASSERT_TRUE(spine_test::fifo_write("abc"));
    auto line = p->wait_stdout("fifo [abc]3", 5s);
    ASSERT_TRUE(line);
    EXPECT_TRUE(std::regex_match(*line, std::regex("[0-9]+ main\\.c [0-9]+ : fifo \\[abc\\]3"))) << *line;
    EXPECT_TRUE(p->wait_stdout("User Input abc ", 5s));
    auto e = log.wait_for("fifo [abc]3", 5s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->ident, "AVHUB");
    EXPECT_EQ(e->severity(), 4);
    EXPECT_TRUE(std::regex_match(e->text, std::regex("main\\.c [0-9]+ : fifo \\[abc\\]3\n?"))) << e->text;

    ASSERT_TRUE(spine_test::fifo_write("width 7\nheight 9\n"));
    EXPECT_TRUE(p->wait_stdout("change width  1280 => 7 ", 5s));
    ASSERT_TRUE(spine_test::fifo_write("vdo_fr 0\n"));
    EXPECT_TRUE(p->wait_stdout("err fr 0 ", 5s));
    EXPECT_EQ(p->count_stdout("change height"), 0u);
}

TEST_F(Serving, GetWanIpRunsTheProgramOfTheWorkingDirectoryAndWaits) {
    ASSERT_TRUE(spine_test::fifo_write("get_wan_ip\n"));
    ASSERT_TRUE(p->wait_stdout("CMD[" + cwd.path() + "/get_wan_ip] ", 5s)) << p->stdout_text();
    ASSERT_TRUE(spine_test::fifo_write("width 5\n"));
    ASSERT_TRUE(p->wait_stdout("change width", 5s));
    // The next command ran only after get_wan_ip had finished.
    EXPECT_EQ(harness::read_file(cwd / "ran"), "args=0\n");
}

// The programs avhub runs through the shell get none of its descriptors:
// no codec socket, bridge listener or control FIFO. (What the test runner
// itself leaves open reaches avhub and its children alike and is not
// avhub's to close.)
TEST_F(Serving, ProgramsItRunsInheritNoDescriptorOfAvhub) {
    const std::string script = cwd / "get_wan_ip";
    ASSERT_TRUE(harness::write_file(
        script, "#!/bin/sh\nfor f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink \"$f\")\"; done > \"$(dirname \"$0\")/fds\"\n"));
    ASSERT_TRUE(spine_test::fifo_write("get_wan_ip\n"));
    ASSERT_TRUE(p->wait_stdout("CMD[", 5s));
    ASSERT_TRUE(spine_test::fifo_write("width 5\n"));
    ASSERT_TRUE(p->wait_stdout("change width", 5s));
    const std::string fds = harness::read_file(cwd / "fds").value_or("");
    ASSERT_NE(fds.find("\n2 "), std::string::npos) << fds;
    std::istringstream lines(fds);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string target = line.substr(line.find(' ') + 1);
        EXPECT_TRUE(target.rfind("socket:", 0) != 0 && target != "/dev/avhub") << "inherited: " << line;
    }
}

TEST_F(Serving, VcbStartWithoutABridgeWaitsTwentySecondsThenStartsTheCall) {
    ASSERT_TRUE(spine_test::fifo_write("vcb_start\n"));
    ASSERT_TRUE(p->wait_stdout("Start VCB Test!!", 5s));
    auto begun = std::chrono::steady_clock::now();
    ASSERT_TRUE(p->wait_stdout("Wait VCB Connection ", 3s));
    ASSERT_TRUE(p->wait_stdout("start_test", 40s)) << p->stdout_text();
    auto waited = std::chrono::steady_clock::now() - begun;
    EXPECT_GE(waited, 19s);
    EXPECT_LT(waited, 30s);
    // One report a second while waiting.
    std::size_t reports = p->count_stdout("Wait VCB Connection ");
    EXPECT_GE(reports, 18u);
    EXPECT_LE(reports, 21u);
}

TEST_F(Serving, CloseSendsTheCloseRequestsRemovesTheFifoAndExitsZero) {
    // A server that has gone away: the write to it fails, avhub goes on.
    servers.drop_connections("/tmp/ado_dec_cmd_socket");
    ASSERT_TRUE(spine_test::fifo_write("close\n"));
    EXPECT_EQ(p->wait_exit(10s), 0);
    EXPECT_TRUE(p->wait_stdout("Close ap!!", 0ms));
    EXPECT_FALSE(harness::file_exists("/dev/avhub"));
    EXPECT_TRUE(harness::file_exists("/tmp/avhub.pid"));

    // Both requests were written before avhub exited; the listeners' thread
    // may still be reading them.
    ASSERT_TRUE(servers.wait_bytes("/tmp/T_DecCmd", 48, 5s));
    ASSERT_TRUE(servers.wait_bytes("/tmp/ado_enc_cmd_socket", 48, 5s));
    // No test call was started: no encoder channel is marked open.
    std::map<std::string, std::string> want{
        {"/tmp/T_DecCmd", spine_test::close_request(517, 0)},
        {"/tmp/ado_enc_cmd_socket", spine_test::close_request(518, 0)},
    };
    for (const auto& ep : kEndpoints)
        EXPECT_EQ(harness::hex(servers.bytes(ep)), harness::hex(want.count(ep) ? want[ep] : "")) << ep;
}

}  // namespace
