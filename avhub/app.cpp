// Start-up checks, the codec connections, the control FIFO and the one poll
// loop that drives every other part of avhub.
#include "app.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clip_input.hpp"
#include "codec_conn.hpp"
#include "dsp_func.hpp"
#include "fifo_cmd.hpp"
#include "globals.hpp"
#include "hooks.hpp"
#include "instance/instance_lock.hpp"
#include "log.hpp"
#include "notify/ready.hpp"
#include "stream_writer.hpp"

namespace avhub {

namespace {

constexpr char kModule[] = "main.c";

constexpr int kArgCount = 9;
constexpr std::uint32_t kDelayBufLimit = 1024 * 256;
constexpr int kFailExit = 1;
// Reads of the FIFO buffer's size spent at most on the rest of one
// over-long command (1 MiB, the largest a FIFO can be made to hold).
constexpr int kFifoDrainReads = 256;

// Buffers live for the whole process; a failed allocation ends start-up.
// They start zeroed, from calloc: the allocator hands over fresh pages from
// the kernel, which are zero already, without writing them. Pages are then
// made resident only as the buffer is used: most of these buffers are sized
// for the largest frame or block, and most of the audio ones are never used
// at all (zero-filling them here used to cost 3.6 MiB of resident memory).
std::span<std::uint8_t> alloc_buffer(std::size_t size, const char* what) {
    auto* p = static_cast<std::uint8_t*>(std::calloc(size, 1));
    if (p == nullptr) {
        print_msg("Can't allocate %s (%d bytes)\n", what, static_cast<int>(size));
        std::exit(kFailExit);
    }
    return {p, size};
}

int address_number(std::span<std::uint8_t> buf) {
    return static_cast<int>(reinterpret_cast<std::uintptr_t>(buf.data()));
}

void read_settings(char** argv) {
    std::int32_t* const settings[kArgCount] = {&CodecType, &Width,    &Height,    &FrameRate, &BitRate,
                                               &AdoType,   &TestTime, &Recording, &DelayBuf};
    for (int i = 0; i < kArgCount; ++i)
        *settings[i] = static_cast<std::int32_t>(std::strtol(argv[i + 1], nullptr, 10));
}

// Start-up checks compare unsigned: a negative value fails them.
bool settings_valid() {
    auto u = [](std::int32_t v) { return static_cast<std::uint32_t>(v); };
    if (u(CodecType) < 51 || u(CodecType) > 54) {
        print_msg("============Error Codec Type %d \n", CodecType);
        return false;
    }
    if (u(Width) > kMaxWidth) {
        print_msg("===============Error Width %d \n", Width);
        return false;
    }
    if (u(Height) > kMaxHeight) {
        print_msg("==========Error Height %d \n", Height);
        return false;
    }
    if (u(FrameRate) > 30) {
        print_msg("===========Error u32FrRate %d \n", FrameRate);
        return false;
    }
    if (BitRate == 0) {
        print_msg("===============Error u32BitRate %d \n", BitRate);
        return false;
    }
    if (u(AdoType) < 1 || u(AdoType) > 11) print_msg("===========Disable Ado \n");
    if (u(Recording) > 1) {
        print_msg("===============Error Record Flag %d \n", Recording);
        return false;
    }
    if (u(DelayBuf) >= kDelayBufLimit) {
        print_msg("=================Delay Buf is too Large (%d > 1024*256) \n", DelayBuf);
        return false;
    }
    return true;
}

bool open_fifo() {
    unlink(kFifoPath);
    // The mode is meant as given: any local process may drive avhub.
    mode_t old_mask = umask(0);
    int rc = mkfifo(kFifoPath, 0777);
    umask(old_mask);
    if (rc != 0) {
        print_msg("Can't create FIFO %s: %s\n", kFifoPath, std::strerror(errno));
        return false;
    }
    // Read-write: opening does not wait for a writer, and the FIFO never
    // reports end of file when a writer goes away. Non-blocking: any local
    // process may also open it for reading and take a command between the
    // poll and the read, which then must not wait for the next one.
    int fd = open(kFifoPath, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        print_msg("Can't open FIFO %s: %s\n", kFifoPath, std::strerror(errno));
        return false;
    }
    s32FifoFd = fd;
    MainPollFd = pollfd{fd, POLLIN, 0};
    return true;
}

void alloc_buffers() {
    u8VdoSockBuf = alloc_buffer(kVdoSockBufSize, "u8VdoSockBuf");
    print_msg(">> >> Vdo Buf %d << <<\n", address_number(u8VdoSockBuf));
    u8AdoSockBuf = alloc_buffer(kAdoSockBufSize, "u8AdoSockBuf");
    print_msg(">> >> Ado Buf %d << <<\n", address_number(u8AdoSockBuf));
    u8AdoSockBuf2 = alloc_buffer(kAdoSockBufSize, "u8AdoSockBuf2");
    print_msg(">> >> Ado Buf2 %d << <<\n", address_number(u8AdoSockBuf2));
    u8H239SockBuf = alloc_buffer(kH239SockBufSize, "u8H239SockBuf");
    u8MainVdoBuf = alloc_buffer(kMainVdoBufSize, "u8MainVdoBuf");
    for (auto& b : u8MainAdoBuf) b = alloc_buffer(kMainAdoBufSize, "u8MainAdoBuf");
    u32VdoSockBuflen = u32AdoSockBuflen = u32H239SockBuflen = 0;
    u32MainVdoBufLen = 0;
    u32MainAdoBufLen.fill(0);
    u8VdoSockStatus = u8AdoSockStatus = 0;
}

// The pid file lies in a world-writable folder: a planted link, symbolic or
// hard, must not make avhub truncate another file, and a planted FIFO or
// device must not hold the open or take the write. It is truncated only
// once it is known to be a file of its own.
int open_pid_file() {
    const int fd = open(kPidFile, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st {};
    int err = 0;
    if (fstat(fd, &st) != 0) err = errno;
    else if (!S_ISREG(st.st_mode)) err = EINVAL;
    else if (st.st_nlink != 1) err = EMLINK;
    else if (ftruncate(fd, 0) != 0) err = errno;
    if (err != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

void write_pid_file() {
    const int fd = open_pid_file();
    if (fd < 0) {
        AVHUB_LOG("Can't write %s: %s \n", kPidFile, std::strerror(errno));
        return;
    }
    char text[16];
    const int len = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    const ssize_t wr = write(fd, text, static_cast<std::size_t>(len));
    const int err = errno;
    if (close(fd) != 0 || wr != len) {
        AVHUB_LOG("Can't write %s: %s \n", kPidFile, std::strerror(wr != len ? err : errno));
        return;
    }
    AVHUB_LOG("!!!!!!!!!!!!!!!!!!!!!!!AvHub PID = %d \n", static_cast<int>(getpid()));
}

[[noreturn]] void shutdown_avhub() {
    print_msg("Close ap!!\n");
    send_shutdown_closes();
    std::free(pu8AdoBuf.data());
    pu8AdoBuf = {};
    close_animation_clip();
    if (pRecFile != nullptr) {
        std::fclose(pRecFile);
        pRecFile = nullptr;
    }
    unlink(kFifoPath);
    std::exit(0);
}

// A read that filled the buffer has not seen the end of its write: what is
// waiting now is the rest of that one command and is dropped, so its tail
// never runs as a command of its own. Bounded, so a writer that keeps the
// FIFO full cannot hold the loop here.
void discard_command_rest(int fd, std::span<char> sink) {
    for (int i = 0; i < kFifoDrainReads; ++i) {
        const ssize_t n = read(fd, sink.data(), sink.size());
        if (n < static_cast<ssize_t>(sink.size())) return;
    }
}

[[noreturn]] void run_loop() {
    static std::array<char, kFifoReadMax> rx;
    static std::array<char, kFifoReadMax> sink;
    for (;;) {
        int ready = poll(&MainPollFd, 1, 1);
        if (ready > 0 && (MainPollFd.revents & POLLIN)) {
            ssize_t n = read(s32FifoFd, rx.data(), rx.size());
            // Dropped before the command runs: a long command would otherwise
            // let later writes pile up behind the rest and lose them too.
            if (n == static_cast<ssize_t>(rx.size())) discard_command_rest(s32FifoFd, sink);
            if (n > 0 && handle_fifo_cmd(std::span<const char>(rx.data(), static_cast<std::size_t>(n))) ==
                             FifoAction::kClose)
                shutdown_avhub();
        }
        // Rests of packets left by short writes are finished before new ones.
        stream_writer::stream_flush_pending();
        main_thread_read_sock_buf(s32VdoEncSockFd, u8VdoSockBuf, u32VdoSockBuflen, u8VdoSockStatus);
        main_thread_read_sock_buf(s32AdoEncSockFd, u8AdoSockBuf2, u32AdoSockBuflen, u8AdoSockStatus);
        if (is_animation_playing()) {
            read_btsm();
            play_out();
        }
        check_test_deadline();
    }
}

}  // namespace

void check_test_deadline() {
    if (u32TestEndTm == 0) return;
    // Signed difference: the deadline is compared on the 32-bit clock.
    if (static_cast<std::int32_t>(static_cast<std::uint32_t>(get_msec_count()) - u32TestEndTm) <= 0) return;
    print_msg("Time Out !!\n");
    stop_test();
    u32TestEndTm = 0;
}

void send_shutdown_closes() {
    CodecCmd cmd;
    if (u32VdoEnc0On != 0) {
        fill_close_chan_cmd_struct(cmd, wire::REQ_VDO_CLOSE, 0);
        send_codec_cmd(s32VdoEncCmdSockFd, cmd);
    }
    if (u32VdoEnc1On != 0) {
        fill_close_chan_cmd_struct(cmd, wire::REQ_VDO_CLOSE, 1);
        send_codec_cmd(s32VdoEncCmdSockFd, cmd);
    }
    fill_close_chan_cmd_struct(cmd, wire::REQ_VDO_CLOSE, 0);
    send_codec_cmd(s32VdoDecCmdSockFd, cmd);
    fill_close_chan_cmd_struct(cmd, wire::REQ_ADO_CLOSE, 0);
    send_codec_cmd(s32AdoEncCmdSockFd, cmd);
    send_codec_cmd(s32AdoDecCmdSockFd, cmd);
}

int avhub_main(int argc, char** argv) {
    // A codec server or bridge that goes away must not end avhub: writes to
    // it then simply fail.
    std::signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (argc != kArgCount + 1) {
        print_msg("Please Enter : CodecType Width Height FrameRate BitRate AdoType TestTime Recording DelayBuf\n");
        return 0;
    }
    // One avhub at a time: before a second one truncates record.bin,
    // replaces the FIFO or competes for the bridge ports.
    if (!instance::hold("avhub")) return kFailExit;
    open_event_log();
    read_settings(argv);

    // Fixes the clock's origin before any other part reads it; between the
    // two readings the demuxer is set up.
    get_msec_count();
    clip_input::init_demuxer();
    get_msec_count();

    wait_codec_servers();
    setpriority(PRIO_PROCESS, 0, 0);

    u32VdoEnc0On = u32VdoEnc1On = 0;
    u32RelayVdoChan = 0;
    pu8AdoBuf = alloc_buffer(kPlayAdoBufSize, "pu8AdoBuf");

    if (!settings_valid()) return 0;

    if (Recording == 1) {
        pRecFile = std::fopen(kRecordFile, "wbe");
        if (pRecFile == nullptr) {
            print_msg("Can't create %s: %s\n", kRecordFile, std::strerror(errno));
            return kFailExit;
        }
    }
    if (!open_fifo()) return kFailExit;
    alloc_buffers();

    print_msg("==================waiting =====================\n");
    setup_main_thread_socket();
    // The bridge ports listen from here on, so a bridge may connect before
    // "vcb_start" serves it.
    init_expansion_box_thread_socket();
    write_pid_file();
    print_msg("==================waiting =====================\n");
    // Serving the FIFO from here on: a service manager counts avhub started
    // only now, so "systemctl start avhub" returns when commands are read.
    notify::ready();

    run_loop();
}

}  // namespace avhub
