// avhub start-up in the sandbox: argument and setting checks with their
// exit statuses, the readiness wait, the connection order, pid file and FIFO.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "avhub_run.hpp"
#include "codec_listeners.hpp"
#include "harness/syslog.hpp"

namespace {

using namespace std::chrono_literals;
using spine_test::CodecListeners;
using spine_test::kEndpoints;

class Startup : public testing::Test {
protected:
    void SetUp() override { HARNESS_REQUIRE_SANDBOX(); }
    void TearDown() override { spine_test::clean_fixed_paths(); }
};

TEST_F(Startup, WrongArgumentCountPrintsUsageAndExitsZero) {
    for (std::size_t n : {0u, 8u, 10u}) {
        std::vector<std::string> args(n, "1");
        auto p = spine_test::start_avhub(args);
        EXPECT_EQ(p->wait_exit(5s), 0) << n << " arguments";
        EXPECT_TRUE(p->wait_stdout(
            "Please Enter : CodecType Width Height FrameRate BitRate AdoType TestTime Recording DelayBuf", 0ms));
    }
    EXPECT_FALSE(harness::file_exists("/dev/avhub"));
}

TEST_F(Startup, SettingOutOfRangeExitsZeroBeforeConnecting) {
    CodecListeners servers;
    servers.listen_all();
    struct Case {
        std::size_t index;
        std::string value;
        std::string message;
    };
    const Case cases[] = {
        {0, "50", "============Error Codec Type 50 "},
        {0, "55", "============Error Codec Type 55 "},
        {1, "1281", "===============Error Width 1281 "},
        {1, "-1", "===============Error Width -1 "},  // compared unsigned
        {2, "769", "==========Error Height 769 "},
        {3, "31", "===========Error u32FrRate 31 "},
        {4, "0", "===============Error u32BitRate 0 "},
        {4, "fast", "===============Error u32BitRate 0 "},  // not a number reads as 0
        {7, "2", "===============Error Record Flag 2 "},
        {8, "262144", "=================Delay Buf is too Large (262144 > 1024*256) "},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.message);
        auto args = spine_test::kGoodArgs;
        args[k.index] = k.value;
        auto p = spine_test::start_avhub(args);
        EXPECT_EQ(p->wait_exit(10s), 0);
        EXPECT_TRUE(p->wait_stdout(k.message, 0ms)) << p->stdout_text();
        EXPECT_FALSE(harness::file_exists("/dev/avhub"));
    }
    for (const auto& ep : kEndpoints) EXPECT_EQ(servers.accepted(ep), 0) << ep;
}

TEST_F(Startup, EdgeSettingsAreAcceptedAndRecordingCreatesTheFile) {
    CodecListeners servers;
    servers.listen_all();
    harness::TempDir cwd;
    // AdoType 0 only warns; DelayBuf 262143 is the largest accepted.
    auto p = spine_test::start_avhub({"54", "0", "0", "0", "1", "0", "0", "1", "262143"}, cwd.path());
    ASSERT_TRUE(p->wait_stdout("===========Disable Ado ", 10s)) << p->stdout_text();
    ASSERT_TRUE(p->wait_stdout("AvHub PID", 10s)) << p->stdout_text();
    EXPECT_TRUE(harness::file_exists(cwd / "record.bin"));
    ASSERT_TRUE(spine_test::fifo_write("close\n"));
    EXPECT_EQ(p->wait_exit(5s), 0);
}

TEST_F(Startup, WaitsForEveryServerThenConnectsInOrder) {
    harness::SyslogCapture log;
    auto p = spine_test::start_avhub();
    ASSERT_TRUE(p->wait_stdout("/tmp/T_EncStrm not ready!", 5s)) << p->stdout_text();
    auto e = log.wait_for("/tmp/T_EncStrm not ready!", 5s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->ident, "AVHUB");
    EXPECT_EQ(e->severity(), 4);  // warning
    EXPECT_TRUE(std::regex_match(e->text, std::regex("main\\.c [0-9]+ : /tmp/T_EncStrm not ready!\n?"))) << e->text;
    EXPECT_GT(p->count_stdout("Server Port /tmp/T_EncStrm is not Active"), 0u);

    // Decoy sockets whose paths contain the endpoint paths pass the probe
    // (a plain substring test) but cannot be connected to.
    CodecListeners servers;
    for (std::size_t i = 0; i + 1 < kEndpoints.size(); ++i) ASSERT_TRUE(servers.listen_on(kEndpoints[i] + ".decoy"));
    ASSERT_TRUE(p->wait_stdout("/tmp/t_DecCmd not ready!", 5s));
    ASSERT_TRUE(servers.listen_on(kEndpoints.back() + ".decoy"));
    ASSERT_TRUE(p->wait_stdout("Connect Video Server", 5s));
    ASSERT_TRUE(p->wait_stdout("11.. EncSock Connect Error !!", 5s));

    // The real endpoints appear one by one in the expected connect order;
    // each must be connected before the next exists.
    const std::vector<std::string> order{
        "/tmp/T_EncStrm", "/tmp/T_EncCmd", "/tmp/T_DecStrm", "/tmp/T_DecCmd",
        "/tmp/ado_enc_server_socket", "/tmp/ado_enc_cmd_socket", "/tmp/ado_dec_server_socket", "/tmp/ado_dec_cmd_socket",
        "/tmp/t_EncStrm", "/tmp/t_EncCmd", "/tmp/t_DecStrm", "/tmp/t_DecCmd"};
    for (const auto& ep : order) {
        ASSERT_TRUE(servers.listen_on(ep));
        ASSERT_TRUE(servers.wait_accepted(ep, 1, 5s)) << ep << " not connected";
    }
    ASSERT_TRUE(p->wait_stdout("AvHub PID", 5s)) << p->stdout_text();

    // Banners, retry lines and the three decoder command descriptors, which
    // follow the creation order (encoders of every group, then decoders).
    std::vector<int> dec_cmd_fds;
    std::vector<std::string> seen;
    std::regex fd_line("@@@ s32DecCmdSockFd = ([0-9]+) ");
    for (const auto& line : p->stdout_lines()) {
        std::smatch m;
        if (std::regex_search(line, m, fd_line)) {
            dec_cmd_fds.push_back(std::stoi(m[1]));
            seen.push_back("@@@");
        }
        for (const char* banner : {"Connect Video Server", "Connect Audio Server", "Connect H239 Server"})
            if (line.find(banner) != std::string::npos) seen.push_back(banner);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"Connect Video Server", "@@@", "Connect Audio Server", "@@@",
                                              "Connect H239 Server", "@@@"}));
    ASSERT_EQ(dec_cmd_fds.size(), 3u);
    EXPECT_EQ(dec_cmd_fds[1] - dec_cmd_fds[0], 2);
    EXPECT_EQ(dec_cmd_fds[2] - dec_cmd_fds[1], 2);
    for (const char* err : {"EncCmdSock Connect Error !!", "DecSock Connect Error !!", "DecCmdSock Connect Error !!"})
        EXPECT_GT(p->count_stdout(err), 0u) << err;
    // The second banner follows the bridge listeners and the pid file, after
    // "AvHub PID": wait for it rather than count at once.
    EXPECT_TRUE(harness::wait_until(
        [&] { return p->count_stdout("==================waiting =====================") >= 2; }, 5s));
    EXPECT_EQ(p->count_stdout("==================waiting ====================="), 2u);

    // Pid file and FIFO exist once start-up is through.
    EXPECT_EQ(harness::read_file("/tmp/avhub.pid"), std::to_string(p->pid()) + "\n");
    struct stat st {};
    ASSERT_EQ(stat("/dev/avhub", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    for (const auto& ep : kEndpoints) EXPECT_EQ(servers.accepted(ep), 1) << ep;

    ASSERT_TRUE(spine_test::fifo_write("close\n"));
    EXPECT_EQ(p->wait_exit(5s), 0);
}

TEST_F(Startup, UnusableFifoOrRecordFileFailsAndPidFileProblemIsOnlyLogged) {
    CodecListeners servers;
    servers.listen_all();
    {
        // A directory in place of the FIFO cannot be removed or replaced.
        ASSERT_EQ(mkdir("/dev/avhub", 0755), 0);
        ASSERT_EQ(mkdir("/dev/avhub/x", 0755), 0);
        auto p = spine_test::start_avhub();
        EXPECT_EQ(p->wait_exit(10s), 1);
        EXPECT_TRUE(p->wait_stdout("Can't create FIFO /dev/avhub", 0ms)) << p->stdout_text();
        rmdir("/dev/avhub/x");
        rmdir("/dev/avhub");
    }
    {
        harness::TempDir cwd;
        ASSERT_EQ(mkdir((cwd / "record.bin").c_str(), 0755), 0);
        auto p = spine_test::start_avhub({"54", "1280", "720", "30", "1024", "1", "0", "1", "0"}, cwd.path());
        EXPECT_EQ(p->wait_exit(10s), 1);
        EXPECT_TRUE(p->wait_stdout("Can't create record.bin", 0ms)) << p->stdout_text();
        EXPECT_FALSE(harness::file_exists("/dev/avhub"));
    }
    // Whatever is planted in place of the pid file is left alone: a
    // directory, a link, symbolic or hard, to another file (which must not
    // be truncated), a FIFO nobody reads (which must not hold start-up).
    harness::TempDir other;
    const std::string victim = other / "victim";
    ASSERT_TRUE(harness::write_file(victim, "keep"));
    struct Planted {
        const char* what;
        std::function<int()> plant;
    };
    const Planted planted[] = {
        {"directory", [] { return mkdir("/tmp/avhub.pid", 0755); }},
        {"link to another file", [&] { return symlink(victim.c_str(), "/tmp/avhub.pid"); }},
        {"hard link to another file", [&] { return link(victim.c_str(), "/tmp/avhub.pid"); }},
        {"FIFO", [] { return mkfifo("/tmp/avhub.pid", 0666); }},
    };
    for (const Planted& k : planted) {
        SCOPED_TRACE(k.what);
        ASSERT_EQ(k.plant(), 0);
        auto p = spine_test::start_avhub();
        EXPECT_TRUE(p->wait_stdout("Can't write /tmp/avhub.pid", 10s)) << p->stdout_text();
        ASSERT_TRUE(p->wait_stdout("==================waiting", 5s));
        ASSERT_TRUE(spine_test::fifo_write("close\n"));
        EXPECT_EQ(p->wait_exit(5s), 0);
        EXPECT_EQ(harness::read_file(victim), "keep");
        if (rmdir("/tmp/avhub.pid") != 0) unlink("/tmp/avhub.pid");
    }
}

}  // namespace
