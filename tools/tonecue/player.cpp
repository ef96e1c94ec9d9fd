// Prompt files: opened and closed on FIFO commands, read one block per tick
// straight from the file and sent as framed packets to the decoder.
#include "player.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libsocket/packet.h"
#include "libsocket/socket.h"

namespace tonecue {

namespace {

// Header and one block of the largest type the size table names.
constexpr std::size_t kMaxBlock = 640;
std::array<std::uint8_t, wire::kPacketHeaderSize> HeaderBuf;
std::array<std::uint8_t, kMaxBlock> BlockBuf;

void write_checked(int fd, const std::uint8_t* data, std::size_t len) {
    const int ret = socket_writen(fd, data, len);
    if (ret != static_cast<int>(len)) syslog(LOG_WARNING, "ret (%d) != (%d) \n", ret, static_cast<int>(len));
}

void send_block(Player& p, std::size_t len) {
    // 16-bit sequence: 65535 is followed by 0.
    p.ts = p.ts >= 0xFFFF ? 0 : p.ts + 1;
    wire::PacketHeader hdr;
    hdr.u8StreamType = wire::kStreamAudio;
    hdr.u8StreamCh = static_cast<std::uint8_t>(p.param.s32ChanIdx);
    hdr.u32TimeStamp = p.ts;
    hdr.u32PacketSize = static_cast<std::uint32_t>(len);
    hdr.u32Gob = 0;
    pack_packet_header(HeaderBuf, hdr);
    write_checked(p.dat_fd, HeaderBuf.data(), HeaderBuf.size());
    write_checked(p.dat_fd, BlockBuf.data(), len);
}

}  // namespace

namespace {

// Opens path for reading only when it names a regular file. The open never
// waits (a FIFO without a writer would), and a FIFO, device, socket or
// directory is refused: reading one could block the loop at every tick, or
// swallow the player's own command FIFO as prompt data. errno tells why on
// null.
std::FILE* open_regular(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "rb");
    if (f == nullptr) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return f;
}

}  // namespace

void open_ado_file(Player& p) {
    close_ado_file(p);
    p.param.pFile = open_regular(p.param.s8Path.data());
    if (p.param.pFile) {
        TONECUE_LOG("%s %d \n", "open_ado_file", __LINE__);
    } else {
        TONECUE_LOG("%s %d %s\n", "open_ado_file", __LINE__, std::strerror(errno));
    }
}

void close_ado_file(Player& p) {
    if (p.param.pFile) std::fclose(p.param.pFile);
    p.param.pFile = nullptr;
}

void fifo_cmd(Player& p, const char* text, std::size_t len) {
    switch (text[0]) {
    case 'p': {
        int loop = 0;
        std::array<char, kPathLen> path{};
        // "p", one separator, then "<loop> <path>"; the path ends at a blank.
        if (len < 3 || std::sscanf(text + 2, "%d %255s", &loop, path.data()) != 2) {
            TONECUE_LOG("err (short)!!\n");
            return;
        }
        p.param.s8Path = path;
        p.param.s32Loop = loop;
        p.param.s32PauseTicks = loop != 0 ? kLoopPauseTicks : 0;
        TONECUE_LOG("play %s %d, CosecSt %d\n", p.param.s8Path.data(), p.param.s32Loop, p.codec_st);
        open_ado_file(p);
        break;
    }
    case 'k':
        close_ado_file(p);
        TONECUE_LOG("%s %d \n", "clode_ado_file", __LINE__);
        break;
    default:
        TONECUE_LOG("%s %d unknow cmd\n", "fifo_cmd", __LINE__);
        break;
    }
}

void packet_arrive_ado(Player& p) {
    if (!p.param.pFile) {
        p.pause = -1;
        return;
    }
    const auto blk = static_cast<std::size_t>(p.param.s32BlkSz);
    if (blk == 0 || blk > BlockBuf.size()) return;
    const std::size_t got = std::fread(BlockBuf.data(), 1, blk, p.param.pFile);
    if (got == blk) {
        send_block(p, got);
        return;
    }
    // End of file; a short last block is never sent.
    if (p.param.s32Loop == 0) {
        p.pause = -1;
        return;
    }
    if (p.pause == -1) {
        p.pause = p.param.s32PauseTicks;
    } else if (p.pause > 0) {
        --p.pause;
    } else {
        std::rewind(p.param.pFile);
        p.pause = -1;
    }
}

}  // namespace tonecue
