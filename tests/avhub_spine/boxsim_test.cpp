// avhub against the box simulator's codec servers: a late server holds
// start-up, every endpoint gets one connection, and "close" leaves exactly
// the expected close requests on the command sockets.
#include <gtest/gtest.h>

#include <map>

#include "avhub_run.hpp"
#include "boxsim/client.hpp"

namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kShortNames{
    "T_EncStrm",      "T_EncCmd",       "T_DecStrm",       "T_DecCmd",
    "ado_enc_server_socket", "ado_enc_cmd_socket", "ado_dec_server_socket", "ado_dec_cmd_socket",
    "t_EncStrm",      "t_EncCmd",       "t_DecStrm",       "t_DecCmd"};

TEST(WithBoxsim, LateServerHoldsStartUpAndCloseReachesTheServers) {
    HARNESS_REQUIRE_SANDBOX();
    auto sim = boxsim::Boxsim::start({.args = {"--late", "T_DecCmd:2"}});
    ASSERT_TRUE(sim);
    auto p = spine_test::start_avhub();
    ASSERT_TRUE(p->wait_stdout("/tmp/T_DecCmd not ready!", 5s)) << p->stdout_text();
    ASSERT_TRUE(p->wait_stdout("AvHub PID", 15s)) << p->stdout_text();

    const auto& rec = sim->records();
    ASSERT_TRUE(rec.wait([](const boxsim::Records& r) { return r.events("accept").size() >= 12; }, 5s));
    for (const auto& ep : kShortNames) {
        auto accepts = rec.events("accept", ep);
        ASSERT_EQ(accepts.size(), 1u) << ep;
        EXPECT_EQ(accepts[0].num("pid"), p->pid()) << ep;
    }

    ASSERT_TRUE(spine_test::fifo_write("close\n"));
    EXPECT_EQ(p->wait_exit(5s), 0);
    ASSERT_TRUE(rec.wait_commands("ado_dec_cmd_socket", 1, 5s));
    std::map<std::string, std::string> want{
        {"T_DecCmd", spine_test::close_request(517, 0)},
        {"ado_enc_cmd_socket", spine_test::close_request(518, 0)},
        {"ado_dec_cmd_socket", spine_test::close_request(518, 0)},
    };
    for (const auto& ep : kShortNames) {
        std::string got;
        for (const auto& c : rec.commands(ep)) got.append(reinterpret_cast<const char*>(c.raw.data()), c.raw.size());
        EXPECT_EQ(harness::hex(got), harness::hex(want.count(ep) ? want[ep] : "")) << ep;
    }
    spine_test::clean_fixed_paths();
}

}  // namespace
