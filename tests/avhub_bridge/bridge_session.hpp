// End-to-end fixture: boxsim plays the codec servers and the remote bridge,
// avhub runs for real, and the test drives avhub through its FIFO and the
// bridge through boxsim's control socket.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boxsim/client.hpp"
#include "harness/proc.hpp"
#include "harness/util.hpp"

namespace bridge_test {

using namespace std::chrono_literals;

class BridgeSession : public ::testing::Test {
protected:
    std::unique_ptr<boxsim::Boxsim> sim;
    std::unique_ptr<harness::Proc> hub;
    harness::TempDir dir;

    void SetUp() override {
        HARNESS_REQUIRE_SANDBOX();
        sim = boxsim::Boxsim::start({.args = {"--roles", "codec,bridge"}});
        ASSERT_TRUE(sim) << "boxsim did not come up";
        hub = harness::Proc::start("avhub", {"54", "352", "288", "30", "1024", "1", "0", "0", "0"}, {.cwd = dir.path()});
        ASSERT_TRUE(hub->wait_stdout("AvHub PID", 15s)) << "avhub did not come up";
    }

    void TearDown() override {
        if (HasFailure() && hub) {
            auto all = hub->stdout_lines();
            std::size_t from = all.size() > 60 ? all.size() - 60 : 0;
            std::string tail;
            for (std::size_t i = from; i < all.size(); ++i) tail += all[i] + "\n";
            ADD_FAILURE() << "avhub's last lines:\n" << tail;
        }
        if (hub && hub->running()) {
            fifo("close");
            hub->wait_exit(5s);
        }
        hub.reset();
        if (sim) sim->stop();
        sim.reset();
    }

    // One command into avhub's control FIFO, in one write.
    void fifo(const std::string& text) {
        int fd = ::open("/dev/avhub", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0) << "no /dev/avhub";
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
    }

    // "vcb_start" with a bridge counted: one service step, then the call
    // start, whose line marks that the step is over.
    void service_step() {
        fifo("vcb_start");
        ASSERT_TRUE(hub->wait_stdout("start_test", 10s));
    }

    // A bridge control command; its reply must start with "ok".
    std::string bridge(const std::string& cmd) {
        std::string reply = sim->command("bridge " + cmd);
        EXPECT_EQ(reply.rfind("ok", 0), 0u) << "bridge " << cmd << " -> " << reply;
        return reply;
    }

    // Connection ids of a "bridge connect" reply.
    std::vector<int> connect(const std::string& kind, int n = 1) {
        std::istringstream in(bridge("connect " + kind + " " + std::to_string(n)));
        std::string ok;
        in >> ok;
        std::vector<int> ids;
        for (int id; in >> id;) ids.push_back(id);
        return ids;
    }

    std::vector<boxsim::Event> events(const std::string& kind, int conn = -1) const {
        std::vector<boxsim::Event> out;
        for (auto& e : sim->records().events(kind))
            if (conn < 0 || e.num("conn") == conn) out.push_back(e);
        return out;
    }

    bool wait_events(const std::string& kind, std::size_t n, int conn = -1, harness::Ms timeout = 10s) const {
        return harness::wait_until([&] { return events(kind, conn).size() >= n; }, timeout, 10ms);
    }

    // Waits until at least n of avhub's stdout lines contain needle (unlike
    // wait_stdout, this consumes nothing).
    bool wait_lines(const std::string& needle, std::size_t n, harness::Ms timeout = 10s) const {
        return harness::wait_until([&] { return lines(needle).size() >= n; }, timeout, 10ms);
    }

    // avhub's stdout lines that contain needle, in order.
    std::vector<std::string> lines(const std::string& needle) const {
        std::vector<std::string> out;
        for (auto& l : hub->stdout_lines())
            if (l.find(needle) != std::string::npos) out.push_back(l);
        return out;
    }
};

}  // namespace bridge_test
