// Animation playback: reads clip packets into the two file queues stamped
// with their due time, and paces them out to the decoders from the poll
// loop. Video leaves whole frames stamped with a frame count, audio leaves
// in 160-byte blocks stamped with a block count.
#include "animation.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <thread>

#include "dsp_func.hpp"
#include "clip_input.hpp"
#include "globals.hpp"
#include "hooks.hpp"
#include "log.hpp"
#include "socket_cmd.hpp"
#include "stream_writer.hpp"
#include "wire/bytes.hpp"
#include "wire/codes.hpp"

namespace avhub {

PlayMov_t stPlayMov;

namespace {

constexpr char kModule[] = "animation.c";

using namespace std::chrono_literals;

constexpr std::size_t kHdr = wire::kPacketHeaderSize;
// A video packet must fit the whole-or-nothing writer in one piece.
constexpr std::uint32_t kMaxVdoPayload = static_cast<std::uint32_t>(stream_writer::kMaxPacket - kHdr);
// Frame flags of a queued video packet: first and last piece, a whole frame.
constexpr std::uint8_t kWholeFrame = wire::kGobFirst | wire::kGobLast;
// Release margins ahead of the due time.
constexpr std::int32_t kVdoEarlyMs = 20;
constexpr std::int32_t kAdoEarlyMs = 5;
// Clip audio is 8000 bytes per second: 8 bytes per millisecond.
constexpr std::uint32_t kAdoBytesPerMs = 8;
constexpr std::uint32_t kMinVdoPeriodMs = 30;

struct CodecRow {
    AVCodecID id;
    std::uint16_t u16Type;
    const char* word;
};

constexpr std::array<CodecRow, 3> kVideoCodecs{{
    {AV_CODEC_ID_H264, wire::STD_H264, "VDO_H264"},
    {AV_CODEC_ID_H261, wire::STD_H261, "VDO_H261"},
    {AV_CODEC_ID_H263, wire::STD_H263, "VDO_H263"},
}};

constexpr std::array<CodecRow, 2> kPcmCodecs{{
    {AV_CODEC_ID_PCM_ALAW, wire::STD_G711A, "G.711-a"},
    {AV_CODEC_ID_PCM_MULAW, wire::STD_G711U, "G.711-u"},
}};

// The two G.722 identifiers are plain numbers of the older library
// generation; they are compared as numbers.
constexpr std::array<int, 2> kG722Ids{101, 52481};

enum class Step { kReading, kDelivering };

void close_clip() { clip_input::close_clip_input(&stPlayMov.pFmtCtx); }

std::uint32_t now_ms() { return static_cast<std::uint32_t>(get_msec_count()); }

// Signed distance from the due time to now, so the comparison survives the
// wrap of the 32-bit clock.
std::int32_t ms_past(std::uint32_t due) { return static_cast<std::int32_t>(now_ms() - due); }

std::uint32_t period_ms(AVRational tb) {
    if (tb.den == 0) return 0;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(tb.num) * 1000 / tb.den);
}

void close_vdo_decoder() {
    (void)close_codec_chan(kKindVdoDec, kAnimVdoChan);
    stPlayMov.u8VdoDecOn = 0;
}

void close_ado_decoder() {
    (void)close_codec_chan(kKindAdoDec, stPlayMov.u8AdoChan);
    stPlayMov.u8AdoDecOn = 0;
}

void select_video_stream(int idx, int count, const AVStream* st) {
    PlayMov_t& m = stPlayMov;
    const MediaTypeMatch match = video_media_type(st->codecpar->codec_id);
    m.u16VdoType = match.u16Type;
    AVHUB_LOG("%s\n", match.word);
    if (m.u8VdoDecOn && m.u32PlaySt == kPlayLeadIn) {
        AVHUB_LOG("Need to Stop Dec\n");
        close_vdo_decoder();
    }
    m.u8VdoChan = kAnimVdoChan;
    print_msg("Video channel %d of %d\n", idx, count);
    m.s32VdoStrmIdx = idx;
    m.u32VdoTmStamp = period_ms(st->time_base);
    AVHUB_LOG("u32VdoTmStamp %d\n", m.u32VdoTmStamp);
    if (m.u32VdoTmStamp < kMinVdoPeriodMs) {
        m.u32VdoTmStamp = kMinVdoPeriodMs;
        print_msg("u32VdoTmStamp %d\n", m.u32VdoTmStamp);
    }
}

void select_audio_stream(int idx, int count, const AVStream* st) {
    PlayMov_t& m = stPlayMov;
    print_msg("tis->codec->codec_id = %d \n", static_cast<int>(st->codecpar->codec_id));
    const MediaTypeMatch match = audio_media_type(st->codecpar->codec_id);
    m.u16AdoType = match.u16Type;
    AVHUB_LOG("%s\n", match.word);
    if (m.u8AdoDecOn && m.u32PlaySt == kPlayLeadIn) {
        AVHUB_LOG("Need to Stop Dec\n");
        close_ado_decoder();
    }
    m.u8AdoChan = kAnimAdoChan;
    AVHUB_LOG("Audio channel %d of %d [%d %d]\n", idx, count, st->time_base.num, st->time_base.den);
    m.s32AdoStrmIdx = idx;
    m.u32AdoTmStamp = period_ms(st->time_base);
    AVHUB_LOG("u32AdoTmStamp %d\n", m.u32AdoTmStamp);
    if (m.u32AdoTmStamp == 0) m.u32AdoTmStamp = 20;
}

// Opens the clip of one state and selects its streams. Returns false when
// the file could not be opened.
bool open_clip(const char* path, std::uint32_t state) {
    PlayMov_t& m = stPlayMov;
    m.s32VdoStrmIdx = -1;
    m.s32AdoStrmIdx = -1;
    m.u32VdoTmStamp = 33;
    m.u32AdoTmStamp = 20;
    m.u32AdoBufLen = 0;
    AVHUB_LOG("u32PlaySt %d\n", state);

    close_clip();
    const char* file = state == kPlayRequested ? path : kBlackClipPath;
    const int rc = clip_input::open_clip_input(&m.pFmtCtx, file);
    if (rc < 0 || m.pFmtCtx == nullptr) {
        AVHUB_LOG("can not open input file %s[%d][%d]\n", file, rc, 0);
        m.pFmtCtx = nullptr;
        return false;
    }
    const int count = static_cast<int>(m.pFmtCtx->nb_streams);
    AVHUB_LOG("stream num %d\n", count);
    for (int i = 0; i < count; ++i) {
        const AVStream* st = m.pFmtCtx->streams[i];
        const AVMediaType kind = st->codecpar->codec_type;
        AVHUB_LOG("codec Type %d\n", static_cast<int>(kind));
        if (kind == AVMEDIA_TYPE_VIDEO) select_video_stream(i, count, st);
        else if (kind == AVMEDIA_TYPE_AUDIO) select_audio_stream(i, count, st);
    }
    return true;
}

// Only H.264 video and G.711 mu-law audio are played from a requested clip.
bool requested_clip_supported() {
    const PlayMov_t& m = stPlayMov;
    if (m.s32VdoStrmIdx >= 0 && m.u16VdoType != wire::STD_H264) {
        AVHUB_LOG("Video Codec not support\n");
        return false;
    }
    if (m.s32AdoStrmIdx >= 0 && m.u16AdoType != wire::STD_G711U) {
        AVHUB_LOG("Audio Codec not support\n");
        return false;
    }
    return true;
}

// Sends the open request of the clip's video decoder. Returns 0 when the
// decoder runs, 1 when the packet that needed it must be dropped.
int start_vdo_decoder(Step step, std::uint32_t size) {
    PlayMov_t& m = stPlayMov;
    if (m.u16VdoType == 0 || m.u16VdoType == kInvalidMediaType) {
        if (step == Step::kReading) print_msg("Error  Vdo Media Type (Chan %d) %d\n", kAnimVdoChan, m.u16VdoType);
        else print_msg("Error  Vdo Media Type (Chan %d)\n", kAnimVdoChan);
        return 1;
    }
    if (s32VdoDecCmdSockFd <= 0) return 1;
    CodecCmd cmd;
    fill_codec_dec_vdo_cmd_struct(cmd, m.u16VdoType, kAnimVdoChan);
    (void)send_codec_cmd(s32VdoDecCmdSockFd, cmd);
    if (step == Step::kDelivering) (void)wait_socket_codec_cmd_ack(s32VdoDecCmdSockFd);
    m.u8VdoDecOn = 1;
    m.u32VdoFrmCnt = 0;
    m.u8VdoChan = kAnimVdoChan;
    if (step == Step::kReading) AVHUB_LOG("Start Vdo Decoder %d %d sz=%d\n", m.u16VdoType, m.u8VdoChan, size);
    else print_msg("Start Vdo Decoder %d %d\n", m.u16VdoType, m.u8VdoChan);
    return 0;
}

int start_ado_decoder(Step step, std::uint32_t size) {
    PlayMov_t& m = stPlayMov;
    if (m.u16AdoType == 0 || m.u16AdoType == kInvalidMediaType) {
        if (step == Step::kReading) print_msg("Error  Ado Media Type (Chan %d) %d\n", kAnimAdoChan, m.u16AdoType);
        else print_msg("Error  Ado Media Type (Chan %d)\n", kAnimAdoChan);
        return 1;
    }
    if (s32AdoDecCmdSockFd <= 0) return 1;
    CodecCmd cmd;
    fill_codec_dec_ado_cmd_struct(cmd, m.u16AdoType, kAnimAdoBlock, 8, kAnimAdoChan);
    (void)send_codec_cmd(s32AdoDecCmdSockFd, cmd);
    (void)wait_socket_codec_cmd_ack(s32AdoDecCmdSockFd);
    m.u8AdoDecOn = 1;
    m.u32AdoBlkCnt = 0;
    m.u8AdoChan = kAnimAdoChan;
    if (step == Step::kReading) AVHUB_LOG("Start Ado Decoder %d %d sz=%d\n", m.u16AdoType, m.u8AdoChan, size);
    else print_msg("Start Ado Decoder %d %d\n", m.u16AdoType, m.u8AdoChan);
    return 0;
}

// Copies one demultiplexed packet behind a header into the next slot of q.
void queue_packet(file_queue::FileQueueRing& q, const AVPacket& pkt, bool video, std::uint32_t due) {
    const auto size = static_cast<std::uint32_t>(pkt.size);
    const std::uint32_t total = size + static_cast<std::uint32_t>(kHdr);
    std::uint8_t* buf = nullptr;
    if (file_queue::get_file_queue_ptr(&q, &buf, total) != 0 || buf == nullptr) return;
    if (size > 0) std::memcpy(buf + kHdr, pkt.data, size);
    if (video) enc_vdo_stream_packet(buf, kAnimVdoChan, size, due, kWholeFrame);
    else enc_ado_stream_packet(buf, kAnimAdoChan, size, due);
    (void)file_queue::en_file_queue(&q, buf, total, 0, due, 0);
}

// Writes the blocks that are complete in pu8AdoBuf and keeps the rest.
void send_ado_blocks() {
    PlayMov_t& m = stPlayMov;
    static std::array<std::uint8_t, kHdr + kAnimAdoBlock> block{};
    std::uint32_t off = 0;
    for (; m.u32AdoBufLen - off >= kAnimAdoBlock; off += kAnimAdoBlock) {
        std::memcpy(block.data() + kHdr, pu8AdoBuf.data() + off, kAnimAdoBlock);
        enc_ado_stream_packet(block.data(), m.u8AdoChan, kAnimAdoBlock, m.u32AdoBlkCnt);
        ++m.u32AdoBlkCnt;
        if (s32AdoDecSockFd <= 0 || m.u8AdoChan != kAnimAdoChan) continue;
        if (check_fd_writable(s32AdoDecSockFd) < 0) AVHUB_LOG("s32AdoDecSockFd is not writable \n");
        // A block the socket took only in part is finished by the writer
        // before any later block goes out.
        (void)stream_writer::stream_flush_fd(s32AdoDecSockFd);
        const int wr = stream_writer::stream_write(s32AdoDecSockFd, block);
        if (wr < static_cast<int>(block.size())) {
            AVHUB_LOG("s32AdoDecSockFd Write Error %d \n", wr);
            std::perror("write");
        }
    }
    if (off > 0) {
        std::memmove(pu8AdoBuf.data(), pu8AdoBuf.data() + off, m.u32AdoBufLen - off);
        m.u32AdoBufLen -= off;
    }
}

void deliver_audio(const std::uint8_t* payload, std::uint32_t size) {
    PlayMov_t& m = stPlayMov;
    if (!m.u8AdoDecOn && start_ado_decoder(Step::kDelivering, size) != 0) return;
    const std::uint32_t room = static_cast<std::uint32_t>(pu8AdoBuf.size()) - m.u32AdoBufLen;
    if (size > room) {
        AVHUB_LOG("Audio buffer full: drop %u of %u bytes\n", size - room, size);
        size = room;
    }
    if (size > 0) std::memcpy(pu8AdoBuf.data() + m.u32AdoBufLen, payload, size);
    m.u32AdoBufLen += size;
    send_ado_blocks();
}

// Completes a video packet the socket took only in part. The writer holds
// the rest; each retry yields the processor first and hands the socket
// what it can take, until it is all out or the socket takes nothing more,
// in which case the writer finishes it on a later loop pass.
void finish_short_vdo_write(int fd, std::uint32_t total, std::uint32_t written) {
    for (;;) {
        sched_yield();
        const std::uint32_t asked = total - written;
        errno = 0;
        const auto left = static_cast<std::uint32_t>(stream_writer::stream_flush_fd(fd));
        const int err = errno;
        if (left >= asked) {
            AVHUB_LOG("s32DecBtsmFd Write Left Data Finish, errno[%d %s]\n", err, std::strerror(err));
            return;
        }
        written += asked - left;
        AVHUB_LOG("s32DecWrite %u/%u %u\n", written, asked, asked - left);
        if (left == 0) return;
    }
}

void deliver_video(std::uint8_t* buf, std::uint32_t total) {
    PlayMov_t& m = stPlayMov;
    if (!m.u8VdoDecOn && start_vdo_decoder(Step::kDelivering, total - kHdr) != 0) return;
    buf[wire::kOffStreamCh] = m.u8VdoChan;
    wire::store_be32(buf + wire::kOffTimeStamp, m.u32VdoFrmCnt);
    ++m.u32VdoFrmCnt;
    if (s32VdoDecSockFd <= 0) return;
    if (check_fd_writable(s32VdoDecSockFd) < 0) AVHUB_LOG("s32VdoDecSockFd [%d] is not writable \n", m.u8VdoChan);
    const int wr = stream_writer::stream_write(s32VdoDecSockFd, std::span<const std::uint8_t>(buf, total));
    if (wr == static_cast<int>(total)) return;
    AVHUB_LOG("s32VdoDecSockFd [%d]Write Error %d %u\n", m.u8VdoChan, wr, total);
    if (wr >= 0) finish_short_vdo_write(s32VdoDecSockFd, total, static_cast<std::uint32_t>(wr));
    std::perror("write");
}

void end_playback() {
    PlayMov_t& m = stPlayMov;
    AVHUB_LOG("Finish [%d %d]\n", m.u8VdoDecOn, m.u8AdoDecOn);
    std::this_thread::sleep_for(1s);
    (void)send_animation_status(kAnimStatusFinished);
    if (m.u8VdoDecOn) {
        print_msg("Need to Stop Vdo Dec\n");
        close_vdo_decoder();
    }
    if (m.u8AdoDecOn) {
        print_msg("Need to Stop Ado Dec\n");
        close_ado_decoder();
    }
    file_queue::init_file_queue(&m.stAdoQueue);
    file_queue::init_file_queue(&m.stVdoQueue);
    m.u8Playing = 0;
}

}  // namespace

MediaTypeMatch video_media_type(int codec_id) {
    for (const CodecRow& row : kVideoCodecs)
        if (row.id == codec_id) return {row.u16Type, row.word};
    return {kInvalidMediaType, "Unknow Video Codec Type"};
}

MediaTypeMatch audio_media_type(int codec_id) {
    for (int id : kG722Ids)
        if (id == codec_id) return {wire::STD_G722, "G.722"};
    for (const CodecRow& row : kPcmCodecs)
        if (row.id == codec_id) return {row.u16Type, row.word};
    return {kInvalidMediaType, "Unknow Audio Codec Type"};
}

int start_animation(const char* pu8Path, std::uint32_t u32State) {
    PlayMov_t& m = stPlayMov;
    if (s32VdoDecCmdSockFd > 0) print_msg("Disable Send MCU Mode\n");
    // An unsupported requested clip is replaced by the black clip; the
    // sequence state stays 2 so the trailer still follows.
    for (;;) {
        if (!open_clip(pu8Path, u32State)) return 1;
        if (u32State != kPlayRequested || requested_clip_supported()) break;
        close_clip();
        AVHUB_LOG("Skip unsupported animation file\n");
        u32State = kPlayTrailer;
    }
    if (m.stPkt == nullptr) m.stPkt = av_packet_alloc();

    std::this_thread::sleep_for(100ms);

    m.u32StartTm = now_ms();
    // A decoder that already runs keeps its timeline, so consecutive clips
    // follow each other without a gap.
    if (!m.u8VdoDecOn) {
        m.u32CurrVdoTmStamp = m.u32StartTm;
        AVHUB_LOG("Assign u32CurrVdoTmStamp = %d\n", m.u32CurrVdoTmStamp);
    }
    if (!m.u8AdoDecOn) {
        m.u32CurrAdoTmStamp = m.u32CurrVdoTmStamp;
        AVHUB_LOG("Assign u32CurrAdoTmStamp = %d [%d]\n", m.u32CurrAdoTmStamp, m.u32CurrVdoTmStamp);
    }
    if (u32State == kPlayLeadIn) {
        file_queue::init_file_queue(&m.stVdoQueue);
        file_queue::init_file_queue(&m.stAdoQueue);
    }
    m.u8Playing = 1;
    return 0;
}

void read_btsm() {
    PlayMov_t& m = stPlayMov;
    if (!file_queue::file_queue_is_not_full(&m.stAdoQueue) || !file_queue::file_queue_is_not_full(&m.stVdoQueue) ||
        m.pFmtCtx == nullptr || m.stPkt == nullptr)
        return;

    // End of the clip and a read error alike move the sequence on. A packet
    // too large to read is dropped unread with the line an oversized packet
    // gets; the clip ends there.
    clip_input::DeclaredPacket refused;
    if (clip_input::read_clip_packet(m.pFmtCtx, m.stPkt, &refused) < 0) {
        if (refused.stream >= 0 && refused.stream == m.s32VdoStrmIdx) {
            AVHUB_LOG("Drop oversized video packet %u\n", refused.size);
        } else if (refused.stream >= 0 && refused.stream == m.s32AdoStrmIdx) {
            AVHUB_LOG("Drop oversized audio packet %u\n", refused.size);
        }
        close_clip();
        ++m.u32PlaySt;
        if (m.u32PlaySt <= kPlayTrailer) {
            (void)start_animation(m.u8FileName.data(), m.u32PlaySt);
        } else {
            m.u32PlaySt = kPlayIdle;
            AVHUB_LOG("Finish Animation [%d]\n", m.u32PlaySt);
        }
        return;
    }

    if (m.u32StartTm == 0) {
        m.u32StartTm = now_ms() + 20;
        m.u32CurrVdoTmStamp = m.u32StartTm;
        m.u32CurrAdoTmStamp = m.u32StartTm;
    }

    const AVPacket& pkt = *m.stPkt;
    const auto size = static_cast<std::uint32_t>(pkt.size < 0 ? 0 : pkt.size);
    if (pkt.stream_index == m.s32VdoStrmIdx && m.s32VdoStrmIdx >= 0) {
        if (size > kMaxVdoPayload) {
            AVHUB_LOG("Drop oversized video packet %u\n", size);
        } else if (m.u8VdoDecOn || start_vdo_decoder(Step::kReading, size) == 0) {
            queue_packet(m.stVdoQueue, pkt, true, m.u32CurrVdoTmStamp);
            m.u32CurrVdoTmStamp += m.u32VdoTmStamp;
        }
    } else if (pkt.stream_index == m.s32AdoStrmIdx && m.s32AdoStrmIdx >= 0) {
        if (size > pu8AdoBuf.size()) {
            AVHUB_LOG("Drop oversized audio packet %u\n", size);
        } else if (m.u8AdoDecOn || start_ado_decoder(Step::kReading, size) == 0) {
            queue_packet(m.stAdoQueue, pkt, false, m.u32CurrAdoTmStamp);
            m.u32CurrAdoTmStamp += size / kAdoBytesPerMs;
        }
    }
    av_packet_unref(m.stPkt);
}

void play_out() {
    PlayMov_t& m = stPlayMov;
    std::uint32_t len = 0, due = 0;
    std::uint8_t type = 0, flag = 0;
    std::uint8_t* buf = nullptr;
    std::uint32_t del_len = 0;

    bool vdo_drained = false;
    for (;;) {
        if (!file_queue::file_queue_is_not_empty(&m.stVdoQueue)) {
            vdo_drained = true;
            break;
        }
        (void)file_queue::rd_file_queue_info(&m.stVdoQueue, &len, &type, &due, &flag);
        if (type != 0 || ms_past(due) + kVdoEarlyMs < 0) break;
        if (file_queue::del_file_queue(&m.stVdoQueue, &buf, &del_len) != 0) break;
        (void)recv_btsm_proc(buf, len);
    }

    while (file_queue::file_queue_is_not_empty(&m.stAdoQueue)) {
        (void)file_queue::rd_file_queue_info(&m.stAdoQueue, &len, &type, &due, &flag);
        if (type != 0 || ms_past(due) + kAdoEarlyMs < 0) return;
        if (file_queue::del_file_queue(&m.stAdoQueue, &buf, &del_len) != 0) return;
        (void)recv_btsm_proc(buf, len);
    }

    if (vdo_drained && m.pFmtCtx == nullptr) end_playback();
}

int recv_btsm_proc(std::uint8_t* pu8Buf, std::uint32_t u32Len) {
    // A queued packet always carries its header; its payload length must
    // agree with what was queued.
    if (pu8Buf == nullptr || u32Len < kHdr) return -1;
    const std::uint32_t size = dec_packet_size(pu8Buf, static_cast<std::uint32_t>(wire::kOffPacketSize));
    if (size > u32Len - kHdr) return -1;
    if (pu8Buf[wire::kOffStreamType] == wire::kStreamAudio) deliver_audio(pu8Buf + kHdr, size);
    else deliver_video(pu8Buf, size + static_cast<std::uint32_t>(kHdr));
    return 0;
}

int send_animation_status(int s32Status) {
    if (s32Status != kAnimStatusFinished) return -1;
    std::array<char, kUiRecordSize> record{};
    std::memcpy(record.data(), "finish", 6);
    // The FIFO belongs to the UI application: opened (never created) write
    // only and non-blocking, so an application that is not there (ENXIO) or
    // not reading (a full pipe) loses this record instead of holding the
    // loop. 128 bytes are below PIPE_BUF: the write is whole or nothing.
    const int fd = ::open(kUiFifoPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    print_msg("Cmd to Externel Ap: [%s]\n", record.data());
    if (fd < 0) {
        AVHUB_LOG("Can't open %s: %s, record lost \n", kUiFifoPath, std::strerror(errno));
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        AVHUB_LOG("%s is not a FIFO, record lost \n", kUiFifoPath);
        ::close(fd);
        return -1;
    }
    ssize_t wr;
    do {
        wr = ::write(fd, record.data(), record.size());
    } while (wr < 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    if (wr == static_cast<ssize_t>(record.size())) return 0;
    AVHUB_LOG("Can't write %s: %s, record lost \n", kUiFifoPath, wr < 0 ? std::strerror(err) : "short write");
    return -1;
}

bool is_animation_playing() { return stPlayMov.u8Playing != 0; }

void play_animation_cmd(std::string_view name) {
    PlayMov_t& m = stPlayMov;
    if (name.size() >= m.u8FileName.size()) {
        AVHUB_LOG("Play name too long [%zu], ignored\n", name.size());
        return;
    }
    m.u8FileName.fill('\0');
    std::memcpy(m.u8FileName.data(), name.data(), name.size());
    AVHUB_LOG("Play Animation %s [%d] %s\n", m.u8FileName.data(), static_cast<int>(name.size()), m.u8FileName.data());
    if (m.u32PlaySt != kPlayIdle) AVHUB_LOG("PlaySt Err %d \n", m.u32PlaySt);
    m.u32PlaySt = kPlayLeadIn;
    (void)start_animation(m.u8FileName.data(), kPlayLeadIn);
}

void finish_animation_cmd() {
    PlayMov_t& m = stPlayMov;
    if (!m.u8Playing) return;
    print_msg("Finish .....\n");
    close_clip();
    if (m.u8VdoDecOn) {
        AVHUB_SAY_TM("Need to Stop Dec \n");
        close_vdo_decoder();
    }
    if (m.u8AdoDecOn) {
        AVHUB_SAY_TM("Need to Stop Dec \n");
        (void)close_codec_chan(kKindAdoDec, kAnimAdoChan);
        m.u8AdoDecOn = 0;
    }
    m.u8Playing = 0;
}

void close_animation_clip() {
    close_clip();
    av_packet_free(&stPlayMov.stPkt);
}

}  // namespace avhub
