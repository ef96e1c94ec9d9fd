// DTMF tone playback: opens audio decoder channel 1, streams the key's raw
// mu-law file in 160-byte blocks and closes the channel again, with the
// quad display's tone indicator switched on around the tone.
#include "dtmf.hpp"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <thread>

#include "dsp_func.hpp"
#include "file_open.hpp"
#include "globals.hpp"
#include "hooks.hpp"
#include "log.hpp"
#include "shell.hpp"
#include "socket_cmd.hpp"
#include "stream_writer.hpp"
#include "wire/codes.hpp"

namespace avhub {
namespace {

constexpr char kModule[] = "animation.c";

using namespace std::chrono_literals;

// Display commands around a tone, run through the shell in this order.
constexpr std::array<const char*, 2> kToneOnCmds{"panectl o t 9 1", "panectl o t 5 1"};
constexpr std::array<const char*, 2> kToneOffCmds{"panectl o t 9 0", "panectl o t 5 0"};

// Mu-law silence: fills the part of a block the file could not supply, so a
// short read never sends stale bytes of the previous block.
constexpr std::uint8_t kMuLawSilence = 0xFF;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr open_tone_file(std::int32_t s32Key) {
    if (static_cast<std::uint32_t>(s32Key) >= kDtmfKeyCount) return nullptr;
    char path[64];
    std::snprintf(path, sizeof path, "/mnt/project/Tivane/snd%d.711", s32Key);
    const int fd = open_regular_file(path);
    if (fd < 0) return nullptr;
    FilePtr file(::fdopen(fd, "rb"));
    if (!file) ::close(fd);
    return file;
}

void run_shell_cmds(std::span<const char* const> cmds) {
    // The display client's exit status carries nothing: it always ends 0.
    for (const char* cmd : cmds) (void)run_shell_command(cmd);
}

// The tone holds the loop, so nothing else finishes a block the decoder
// socket took only in part: give it up to 50 ms to drain.
void finish_pending_block(int fd) {
    for (int tries = 0; tries < 50 && stream_writer::stream_flush_fd(fd) != 0; ++tries)
        std::this_thread::sleep_for(1ms);
}

// Writes one block whole, after the rest of the one before, so the decoder
// never sees a torn block.
void send_tone_block(std::span<const std::uint8_t> packet) {
    if (s32AdoDecSockFd <= 0) return;
    finish_pending_block(s32AdoDecSockFd);
    (void)stream_writer::stream_write(s32AdoDecSockFd, packet);
}

}  // namespace

void play_dtmf(int s32Key) {
    CodecCmd cmd;
    fill_codec_dec_ado_cmd_struct(cmd, wire::STD_G711U, kDtmfBlockBytes, 8, kDtmfChan);
    (void)send_codec_cmd(s32AdoDecCmdSockFd, cmd);
    (void)wait_socket_codec_cmd_ack(s32AdoDecCmdSockFd);

    FilePtr file = open_tone_file(s32Key);
    if (!file) {
        AVHUB_LOG("OPen DTMF File Error \n");
        return;
    }

    run_shell_cmds(kToneOnCmds);

    long size = 0;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) size = std::ftell(file.get());
    std::fseek(file.get(), 0, SEEK_SET);
    // A trailing part shorter than one block is not played.
    const long blocks = size > 0 ? size / static_cast<long>(kDtmfBlockBytes) : 0;

    std::this_thread::sleep_for(10ms);
    std::array<std::uint8_t, wire::kPacketHeaderSize + kDtmfBlockBytes> packet{};
    std::uint8_t* payload = packet.data() + wire::kPacketHeaderSize;
    for (long i = 0; i < blocks; ++i) {
        const std::size_t got = std::fread(payload, 1, kDtmfBlockBytes, file.get());
        AVHUB_LOG("Read File %ld %zu\n", i, got);
        if (got < kDtmfBlockBytes) std::memset(payload + got, kMuLawSilence, kDtmfBlockBytes - got);
        enc_ado_stream_packet(packet.data(), kDtmfChan, kDtmfBlockBytes, static_cast<std::uint32_t>(i));
        send_tone_block(packet);
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(100ms);
    // The last block must be out before the channel is closed behind it.
    if (s32AdoDecSockFd > 0) finish_pending_block(s32AdoDecSockFd);

    run_shell_cmds(kToneOffCmds);

    (void)close_codec_chan(kKindAdoDec, kDtmfChan);
    (void)wait_socket_codec_cmd_ack(s32AdoDecCmdSockFd);
}

}  // namespace avhub
