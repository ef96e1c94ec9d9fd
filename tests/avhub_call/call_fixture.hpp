// A whole avhub against boxsim, in the sandbox: start both, drive the
// control FIFO, read what the codec servers recorded.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boxsim/client.hpp"
#include "harness/proc.hpp"
#include "harness/util.hpp"
#include "wire/bytes.hpp"

namespace call_it {

using namespace std::chrono_literals;
using Raw = std::array<std::uint8_t, 48>;

// The fields of one expected command; everything not given is zero.
struct Cmd {
    std::uint16_t code = 0;
    std::uint16_t type = 0;
    std::uint16_t w = 0, h = 0;
    std::uint32_t cplx = 0, imb = 0;
    std::uint16_t rate = 0, blk = 0;
    std::uint8_t fr = 0, ch = 0, mcu = 0, sect = 0;
};

// The 48 wire bytes of an expected command, laid out by hand.
inline Raw bytes_of(const Cmd& c) {
    Raw r{};
    r[1] = 0x55;
    r[2] = 0xAA;
    r[3] = 0xFF;
    wire::store_be16(&r[4], c.code);
    wire::store_be16(&r[6], c.type);
    wire::store_be16(&r[8], c.w);
    wire::store_be16(&r[10], c.h);
    wire::store_be32(&r[12], c.cplx);
    wire::store_be32(&r[24], c.imb);
    wire::store_be16(&r[32], c.rate);
    wire::store_be16(&r[34], c.blk);
    r[36] = c.fr;
    r[38] = c.ch;
    r[39] = c.mcu;
    r[40] = c.sect;
    return r;
}

inline Cmd vdo_close(std::uint8_t ch) { return {.code = 517, .ch = ch}; }
inline Cmd ado_close() { return {.code = 518}; }
inline Cmd mcu(std::uint16_t w, std::uint16_t h) { return {.code = 522, .w = w, .h = h, .sect = 1}; }

class CallTest : public ::testing::Test {
protected:
    std::unique_ptr<boxsim::Boxsim> sim;
    std::unique_ptr<harness::Proc> hub;
    harness::TempDir cwd;

    void SetUp() override { HARNESS_REQUIRE_SANDBOX(); }

    void TearDown() override {
        if (hub && hub->running()) {
            fifo("close");
            if (!hub->wait_exit(5000ms)) hub->kill_now();
        }
        if (hub) {
            // Sanitizer builds report faults on standard error.
            const std::string err = hub->stderr_text();
            EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
            EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        }
        hub.reset();
        if (sim) sim->stop();
        sim.reset();
        ::unlink("/dev/avhub");
        ::unlink("/tmp/avhub.pid");
    }

    // boxsim first (avhub waits for every endpoint), then avhub with the
    // nine settings, ready once it serves its FIFO.
    void start(const std::vector<std::string>& settings, bool autostream = false) {
        boxsim::Options o;
        if (!autostream) o.args.push_back("--no-autostream");
        sim = boxsim::Boxsim::start(o);
        ASSERT_TRUE(sim) << "boxsim did not come up";
        hub = harness::Proc::start("avhub", settings, {.cwd = cwd.path()});
        ASSERT_TRUE(hub->wait_stdout("AvHub PID", 15000ms)) << hub->stdout_text();
        ASSERT_TRUE(hub->wait_stdout("==================waiting", 5000ms));
    }

    // One command per write; waits until avhub has read it, so that two
    // commands never share one read.
    void fifo(const std::string& text) {
        int fd = ::open("/dev/avhub", O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::close(fd);
        ASSERT_TRUE(hub->wait_stdout("fifo [" + text, 5000ms)) << text;
    }

    std::vector<Raw> cmds(const std::string& ep) {
        std::vector<Raw> out;
        for (const auto& c : sim->records().commands(ep)) out.push_back(c.raw);
        return out;
    }

    // Waits until ep has recorded n commands since `from` and returns them.
    std::vector<Raw> wait_cmds(const std::string& ep, std::size_t from, std::size_t n) {
        sim->records().wait_commands(ep, from + n, 8000ms);
        auto all = cmds(ep);
        if (all.size() < from) return {};
        return std::vector<Raw>(all.begin() + static_cast<long>(from), all.end());
    }

    void expect_cmds(const std::string& ep, std::size_t from, const std::vector<Cmd>& want) {
        SCOPED_TRACE(ep);
        auto got = wait_cmds(ep, from, want.size());
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(harness::hex(got[i].data(), 48), harness::hex(bytes_of(want[i]).data(), 48)) << "command " << i;
        }
    }

    // Starts a call and waits for the last command of its sequence.
    void start_call() {
        fifo("start");
        ASSERT_TRUE(hub->wait_stdout("start_test", 5000ms));
        ASSERT_TRUE(hub->wait_stdout("Open Video Decoder", 5000ms));
    }

    // Writes one control line to boxsim and expects "ok".
    void ctl(const std::string& line) { ASSERT_TRUE(sim->ok(line)) << line; }
};

}  // namespace call_it
