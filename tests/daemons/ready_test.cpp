// avhub and tonecue started by a service manager report READY=1 to it only
// once they take commands: tonecue once its FIFOs are open, avhub once it
// has written its pid file and serves /dev/avhub. Both wait for the codec
// servers first, so neither may report while the servers are missing.
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boxsim/client.hpp"
#include "daemon_util.hpp"
#include "harness/proc.hpp"
#include "harness/util.hpp"

namespace {

using namespace std::chrono_literals;
using namespace daemons_test;

const std::vector<std::string> kHubArgs{"54", "352", "288", "30", "1024", "1", "0", "0", "0"};

TEST(Ready, TonecueAndAvhubReportOnceTheyTakeCommands) {
    HARNESS_REQUIRE_SANDBOX();
    harness::TempDir tmp;
    NotifySocket tonecue_manager(tmp / "tonecue.notify");
    NotifySocket avhub_manager(tmp / "avhub.notify");
    ASSERT_TRUE(tonecue_manager.bound() && avhub_manager.bound());
    for (const char* path : {"/dev/tonecue_in", "/dev/tonecue_out", "/dev/avhub", "/tmp/avhub.pid"}) unlink(path);

    auto tonecue = harness::Proc::start("tonecue", {}, {.env = {{"NOTIFY_SOCKET", tmp / "tonecue.notify"}}});
    auto avhub = harness::Proc::start("avhub", kHubArgs,
                                      {.cwd = tmp.path(), .env = {{"NOTIFY_SOCKET", tmp / "avhub.notify"}}});
    ASSERT_TRUE(tonecue->wait_stderr("[TONECUE]: ver=", 5s));
    ASSERT_TRUE(avhub->wait_stdout("/tmp/T_EncStrm not ready!", 5s));
    EXPECT_EQ(tonecue_manager.receive(300ms), "") << "tonecue ready without its decoder server";
    EXPECT_EQ(avhub_manager.receive(300ms), "") << "avhub ready without the codec servers";

    auto sim = boxsim::Boxsim::start();
    ASSERT_TRUE(sim);
    ASSERT_EQ(tonecue_manager.receive(10s), "READY=1");
    EXPECT_TRUE(is_fifo("/dev/tonecue_in") && is_fifo("/dev/tonecue_out")) << "ready before its FIFOs are open";
    ASSERT_EQ(avhub_manager.receive(10s), "READY=1");
    EXPECT_EQ(harness::read_file("/tmp/avhub.pid"), std::to_string(avhub->pid()) + "\n");
    EXPECT_TRUE(is_fifo("/dev/avhub"));

    // Serving, as reported, and reporting once.
    ASSERT_TRUE(harness::write_file("/dev/tonecue_in", "k"));
    EXPECT_TRUE(tonecue->wait_stderr("[TONECUE]: clode_ado_file", 2s));
    ASSERT_TRUE(harness::write_file("/dev/avhub", "close"));
    EXPECT_EQ(avhub->wait_exit(5s), 0);
    tonecue->signal(SIGTERM);
    EXPECT_EQ(tonecue->wait_exit(5s), 0);
    EXPECT_EQ(tonecue_manager.receive(100ms), "");
    EXPECT_EQ(avhub_manager.receive(100ms), "");
}

}  // namespace
