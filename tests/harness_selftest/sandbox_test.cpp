// The sandbox every integration test relies on: private /tmp and /dev, an
// eth0 with the documentation address, /dev/log capture, process helper.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness/proc.hpp"
#include "harness/syslog.hpp"
#include "harness/util.hpp"

namespace {

using namespace std::chrono_literals;

TEST(Sandbox, PrivateMountsAndEth0) {
    HARNESS_REQUIRE_SANDBOX();
    auto init = harness::read_file("/proc/1/cmdline");
    ASSERT_TRUE(init);
    EXPECT_NE(init->find("nsrun"), std::string::npos) << "pid 1 of a private pid namespace is nsrun";
    EXPECT_TRUE(harness::file_exists("/dev/null"));
    EXPECT_TRUE(harness::write_file("/tmp/probe", "x"));
    EXPECT_TRUE(harness::file_exists(harness::source_dir() + "/CMakeLists.txt"));

    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    std::string eth0;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET && std::string(a->ifa_name) == "eth0") {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
            eth0 = text;
        }
    }
    freeifaddrs(list);
    EXPECT_EQ(eth0, "192.0.2.1");
}

TEST(Sandbox, SyslogCaptureAndProcessHelper) {
    HARNESS_REQUIRE_SANDBOX();
    harness::SyslogCapture log;
    ASSERT_TRUE(log.ok());
    openlog("SELFTEST", 0, LOG_USER);
    syslog(LOG_WARNING, "hello %d", 7);
    closelog();
    auto e = log.wait_for("hello 7", 2s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->ident, "SELFTEST");
    EXPECT_EQ(e->severity(), LOG_WARNING);

    auto p = harness::Proc::start("/bin/sh", {"-c", "echo one; echo two >&2; read x; echo got $x; exit 3"},
                                  {.stdin_pipe = true});
    EXPECT_TRUE(p->wait_stdout("one"));
    EXPECT_TRUE(p->wait_stderr("two"));
    p->write_stdin("abc\n");
    EXPECT_TRUE(p->wait_stdout("got abc"));
    EXPECT_EQ(p->wait_exit(5s), 3);
}

}  // namespace

namespace {

TEST(Sandbox, TimeFactorReachesTheTestThroughNsrun) {
    HARNESS_REQUIRE_SANDBOX();
    EXPECT_EQ(harness::time_factor(), AVBOX_CONFIGURED_TIME_FACTOR);
    EXPECT_EQ(harness::scaled(harness::Ms(250)), harness::Ms(250 * AVBOX_CONFIGURED_TIME_FACTOR));
}

}  // namespace
