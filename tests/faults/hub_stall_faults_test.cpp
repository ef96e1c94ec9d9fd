// Inputs that used to freeze avhub's loop for good: clip names that are not
// regular files (a FIFO without a writer, avhub's own FIFO, a directory,
// network URLs), a UI application that holds its FIFO open but never reads,
// and an over-long FIFO write with a command hidden in its tail. After each,
// avhub must go on serving its FIFO at once and end on "close" with status 0.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "media_box.hpp"
#include "tools/handles.hpp"

namespace media_test {
namespace {

namespace fs = std::filesystem;

// How long a command may take to be served after a hostile one. The loop
// serves the FIFO within a millisecond; playback sleeps add ~1 s at most.
constexpr auto kServed = 5s;

// A TCP listener on 127.0.0.1 that never accepts nor answers.
struct SilentListener {
    tools::Fd fd{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    int port = 0;

    SilentListener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.get(), 4) != 0 ||
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    // True when some client has connected (a connection waits in the queue).
    bool contacted() const {
        pollfd p{fd.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
};

// True when something accepts TCP connections on 127.0.0.1:port.
bool port_listens(int port) {
    tools::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

class HubStall : public MediaBox {
protected:
    harness::TempDir dir_;
    std::string good_;
    int width_ = 100;

    void SetUp() override {
        HARNESS_REQUIRE_SANDBOX();
        good_ = make_black_and_good(dir_.path(), 0.3);
        ASSERT_FALSE(good_.empty()) << "ffmpeg could not make the clips";
        MediaBox::SetUp();
    }

    // A setting command is carried out promptly: the loop is not held.
    void expect_serving() {
        const std::string want = "=> " + std::to_string(++width_) + " ";
        fifo("width " + std::to_string(width_) + "\n");
        EXPECT_TRUE(hub().wait_stdout(want, kServed)) << "avhub stopped serving its FIFO\n" << hub().stdout_text();
    }

    void expect_clean_close() {
        fifo("close");
        EXPECT_EQ(hub().wait_exit(10s), 0);
        const std::string err = hub().stderr_text();
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    }

    std::size_t finishes() { return rec().events("ui").size(); }
};

// Each name is refused like a clip that cannot be opened: the lead-in and
// trailer still play, "finish" still reaches the UI application.
TEST_F(HubStall, ClipNamesThatAreNotRegularFilesAreRefusedWithoutBlocking) {
    const std::string fifo_clip = dir_ / "clip_fifo";
    ASSERT_EQ(::mkfifo(fifo_clip.c_str(), 0666), 0);
    SilentListener http;
    ASSERT_NE(http.port, 0);
    int free_port = 0;
    {
        SilentListener probe;  // a port nobody listens on once it is closed
        free_port = probe.port;
    }
    ASSERT_NE(free_port, 0);

    struct Case {
        const char* what;
        std::string name;
    };
    const Case cases[] = {
        {"FIFO without a writer", fifo_clip},
        {"avhub's own FIFO", "/dev/avhub"},
        {"directory", dir_.path()},
        {"http URL to a server that never answers", "http://127.0.0.1:" + std::to_string(http.port) + "/x"},
        {"listening tcp URL", "tcp://127.0.0.1:" + std::to_string(free_port) + "?listen=1"},
        {"file URL of a FIFO", "file:" + fifo_clip},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t before = finishes();
        fifo("play " + c.name + "\n");
        EXPECT_TRUE(hub().wait_stdout("can not open input file " + c.name + "[", kServed)) << hub().stdout_text();
        expect_serving();
        EXPECT_FALSE(port_listens(free_port)) << "a clip name opened a listening socket";
        EXPECT_TRUE(rec().wait([&](const boxsim::Records&) { return finishes() > before; }, 10s))
            << "no finish record after the refused clip";
    }
    EXPECT_FALSE(http.contacted()) << "a clip name made a network connection";
    expect_clean_close();
}

// The black clip's path is held to the same rule.
TEST_F(HubStall, BlackClipThatIsAFifoIsRefusedWithoutBlocking) {
    ASSERT_EQ(::unlink(kBlackClip), 0);
    ASSERT_EQ(::mkfifo(kBlackClip, 0666), 0);
    fifo("play " + good_ + "\n");
    EXPECT_TRUE(hub().wait_stdout(std::string("can not open input file ") + kBlackClip + "[", kServed));
    expect_serving();
    expect_clean_close();
}

// The UI application is played by the test itself: a FIFO with no reader,
// and one held open with its pipe full and never read.
class HubUiStall : public HubStall {
protected:
    void SetUp() override {
        roles_ = "codec,quad_display";
        HubStall::SetUp();
    }
};

TEST_F(HubUiStall, FinishRecordThatCannotBeDeliveredIsLostAndTheLoopGoesOn) {
    ASSERT_EQ(::mkfifo("/dev/tivane_in", 0666), 0);
    struct Case {
        const char* what;
        bool hold_full;
        const char* lost_line;
    };
    const Case cases[] = {
        {"no reader", false, "Can't open /dev/tivane_in: "},
        {"reader that never reads, pipe full", true, "Can't write /dev/tivane_in: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tools::Fd held;
        if (c.hold_full) {
            held.reset(::open("/dev/tivane_in", O_RDWR | O_NONBLOCK | O_CLOEXEC));
            ASSERT_GE(held.get(), 0);
            const std::string chunk(4096, 'x');
            while (::write(held.get(), chunk.data(), chunk.size()) > 0) {
            }
            // Room for less than one record: fill it byte by byte.
            while (::write(held.get(), "x", 1) == 1) {
            }
            ASSERT_EQ(errno, EAGAIN);
        }
        const std::size_t before = hub().count_stdout(c.lost_line);
        fifo("play " + good_ + "\n");
        EXPECT_TRUE(harness::wait_until([&] { return hub().count_stdout(c.lost_line) > before; }, 20s))
            << hub().stdout_text();
        expect_serving();
    }
    expect_clean_close();
}

// One write longer than the FIFO buffer whose rest begins with "close": the
// first 4096 bytes are one command (a name too long), the rest is dropped.
TEST_F(HubStall, OverLongWriteDoesNotRunItsTailAsACommand) {
    std::string text = "play /media/";
    text.append(4096 - text.size(), 'A');
    text += "close\n";
    fifo(text);
    EXPECT_TRUE(hub().wait_stdout("Play name too long [", kServed)) << hub().stdout_text();
    expect_serving();
    EXPECT_TRUE(hub().running()) << "the tail of the write ran as a command";
    EXPECT_EQ(hub().count_stdout("Close ap!!"), 0u);
    EXPECT_EQ(hub().count_stdout("fifo ["), 2u) << "the tail was read as a command of its own";
    expect_clean_close();
}

}  // namespace
}  // namespace media_test
