// Expansion box server: the TCP link to a remote video-conference bridge
// (four listeners, ten connection slots per kind), the intake of the
// bridge's video towards the local decoder, and the bridge command dialogue.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "hooks.hpp"
#include "wire/records.hpp"

namespace avhub {

inline constexpr int kBdgMaxClients = 10;

inline constexpr std::uint16_t kVdoBtsmPort = 2004;
inline constexpr std::uint16_t kVdoCmdPort = 2005;
inline constexpr std::uint16_t kAdoBtsmPort = 2006;
inline constexpr std::uint16_t kAdoCmdPort = 2007;
inline constexpr int kListenBacklog = 10;

// Receive buffer per bitstream slot; one bridge packet must fit whole.
inline constexpr std::size_t kBdgSocketBufSize = 524288;
// Buffer in which a complete bridge packet is rewritten before forwarding.
inline constexpr std::size_t kFwdBufSize = 655360;
// Forced kernel receive buffers of the bitstream connections.
inline constexpr int kVdoBtsmRcvBuf = 1572864;
inline constexpr int kAdoBtsmRcvBuf = 524288;

// Link check period: the address of eth0 is looked at every 5 s.
inline constexpr std::int32_t kLinkCheckMs = 4999;
// While a packet is still incomplete, up to this many extra receives are
// made per slot and step as long as this many bytes keep waiting.
inline constexpr int kMaxExtraRecv = 5;
inline constexpr int kExtraRecvMinBytes = 1000;

// Poll entries: the four listeners, then ten each for the video bitstream,
// video command, audio bitstream and audio command connections.
inline constexpr int kPollListenVdoBtsm = 0;
inline constexpr int kPollListenVdoCmd = 1;
inline constexpr int kPollListenAdoBtsm = 2;
inline constexpr int kPollListenAdoCmd = 3;
inline constexpr int kPollVdoBtsm = 4;
inline constexpr int kPollVdoCmd = kPollVdoBtsm + kBdgMaxClients;
inline constexpr int kPollAdoBtsm = kPollVdoCmd + kBdgMaxClients;
inline constexpr int kPollAdoCmd = kPollAdoBtsm + kBdgMaxClients;
inline constexpr int kPollCount = kPollAdoCmd + kBdgMaxClients;
static_assert(kPollCount == 44);

// Connection kinds of the readers.
inline constexpr int kKindVideo = 0;
inline constexpr int kKindAudio = 1;

struct BdgClient {
    std::int32_t s32Fd = 0;  // 0 = slot free
    // Stream the bridge is expected to send: 0 main video (type 0), 1 content
    // video (type 2). Only the video command slot's value is consulted.
    std::uint32_t u32StreamType = 0;
    sockaddr_in stAddr{};
    std::unique_ptr<std::uint8_t[]> pu8FwdBuf;  // made at the first complete packet, then kept
    std::uint32_t u32FwdLen = 0;
    std::uint32_t u32PktCnt = 0;  // time stamp of the next forwarded packet
};

struct BdgServer {
    std::int32_t s32VdoBtsmSvrFd = 0;
    std::int32_t s32VdoCmdSvrFd = 0;
    std::uint32_t u32VdoBtsmCnt = 0;
    std::uint32_t u32AdoBtsmCnt = 0;
    std::array<BdgClient, kBdgMaxClients> stVdoCmd{};
    std::array<BdgClient, kBdgMaxClients> stVdoBtsm{};
    std::int32_t s32AdoBtsmSvrFd = 0;
    std::int32_t s32AdoCmdSvrFd = 0;
    std::array<BdgClient, kBdgMaxClients> stAdoCmd{};
    std::array<BdgClient, kBdgMaxClients> stAdoBtsm{};
    // Listening addresses: audio bitstream, audio command, video bitstream,
    // video command.
    std::array<sockaddr_in, 4> stSvrAddr{};
    std::uint32_t u32LinkChkTm = 0;
    std::array<pollfd, kPollCount> stPollFd{};
};

extern BdgServer BdgServer_t;

// Receive buffers: entries 0-9 the video bitstream slots, 10-19 the audio
// bitstream slots. A buffer is made at the first accept into its slot.
inline constexpr int kBdgSocketBufCount = 2 * kBdgMaxClients;
extern std::array<std::unique_ptr<std::uint8_t[]>, kBdgSocketBufCount> u8BdgSocketBuf;
extern std::array<std::uint32_t, kBdgSocketBufCount> u32BdgSocketLen;

// Creates the four listening sockets; runs once, before the first step.
void init_expansion_box_thread_socket();
// One service step: link check, at most one accept, else one command per
// command connection and the video intake.
void expansion_box_thread_socket_data_proc();
void expansion_box_cmd_proc(int kind);
void expansion_box_stream_proc(int kind);
// IPv4 address of eth0 (network order as a 32-bit value), or -1.
std::int32_t get_local_ip_address();

// Video bitstream connections accepted since the last reset.
std::uint32_t get_box_vdo_btsm_cnt();

// Closes every open bridge connection, slot by slot (audio command, video
// command, audio bitstream, video bitstream), and resets the video
// bitstream count. Used by the link check and by "vcb_stop".
void close_expansion_box_clients();

// A "vcb_start" wait begins: a full table's refusal is logged again.
void begin_expansion_box_wait();

// Writes one relayed video packet to every open video bitstream connection.
// A connection whose write fails for good (reset, broken pipe) is dropped.
void send_video_to_box(std::span<const std::uint8_t> packet);

// Sends a request to every open video command connection, slot 0 to 9, when
// a video bitstream connection is counted.
void send_request_to_all_boxes(std::uint16_t code);

// The bridge command dialogue.
void handle_bridge_cmd_proc(const wire::CodecCmd& cmd, int kind, int fd, int slot);
void send_response_to_box(int fd, std::uint16_t code, std::uint8_t chan, std::uint8_t agree);
void send_request_to_box(int fd, std::uint16_t code);

}  // namespace avhub
