// Codes of the codec link and the expansion-box link: record sizes, the
// magic, command and acknowledgement codes, and the media standards.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace wire {

inline constexpr std::size_t kPacketHeaderSize = 18;
inline constexpr std::size_t kCodecCmdSize = 48;

inline constexpr std::array<std::uint8_t, 4> kMagic{0x00, 0x55, 0xAA, 0xFF};

// PacketHeader byte offsets.
inline constexpr std::size_t kOffStreamType = 4;
inline constexpr std::size_t kOffStreamCh = 5;
inline constexpr std::size_t kOffTimeStamp = 6;
inline constexpr std::size_t kOffPacketSize = 10;
inline constexpr std::size_t kOffGob = 14;

inline constexpr std::uint8_t kStreamVideo = 0;
inline constexpr std::uint8_t kStreamAudio = 1;

// Frame-piece flags (u32Gob).
inline constexpr std::uint8_t kGobFirst = 1;
inline constexpr std::uint8_t kGobLast = 2;

// Requests, the same on both links.
inline constexpr std::uint16_t REQ_VDO_ENC = 513;
inline constexpr std::uint16_t REQ_ADO_ENC = 514;
inline constexpr std::uint16_t REQ_VDO_DEC = 515;
inline constexpr std::uint16_t REQ_ADO_DEC = 516;
inline constexpr std::uint16_t REQ_VDO_CLOSE = 517;
inline constexpr std::uint16_t REQ_ADO_CLOSE = 518;
inline constexpr std::uint16_t REQ_VDO_ENC_CHANGE_BIT_RATE = 519;
inline constexpr std::uint16_t REQ_VDO_ENC_CHANGE_FRAME_RATE = 520;
inline constexpr std::uint16_t REQ_VDO_ENC_UPDATE_PIC = 521;
inline constexpr std::uint16_t REQ_VDO_SET_MCU_MODE = 522;
inline constexpr std::uint16_t REQ_VDO_SET_SECTION_NUM = 523;
inline constexpr std::uint16_t REQ_VDO_GET_RES = 524;
inline constexpr std::uint16_t REQ_VDO_GET_FR_ERR = 525;
inline constexpr std::uint16_t REQ_VDO_ENC_PAUSE = 526;
inline constexpr std::uint16_t REQ_VDO_ENC_RESUME = 527;
inline constexpr std::uint16_t REQ_ADO_DEC_BUF_POINT = 528;

// Expansion-box link: acknowledgement = request + 16 for 513..528.
inline constexpr std::uint16_t kBridgeAckOffset = 16;
inline constexpr std::uint16_t ACK_VDO_ENC = 529;
inline constexpr std::uint16_t ACK_ADO_ENC = 530;
inline constexpr std::uint16_t ACK_VDO_DEC = 531;
inline constexpr std::uint16_t ACK_ADO_DEC = 532;
inline constexpr std::uint16_t ACK_VDO_CLOSE = 533;
inline constexpr std::uint16_t ACK_ADO_CLOSE = 534;
inline constexpr std::uint16_t ACK_VDO_ENC_CHANGE_BIT_RATE = 535;
inline constexpr std::uint16_t ACK_VDO_ENC_CHANGE_FRAME_RATE = 536;
inline constexpr std::uint16_t ACK_VDO_ENC_UPDATE_PIC = 537;
inline constexpr std::uint16_t ACK_VDO_SET_MCU_MODE = 538;
inline constexpr std::uint16_t ACK_VDO_SET_SECTION_NUM = 539;
inline constexpr std::uint16_t ACK_VDO_GET_RES = 540;
inline constexpr std::uint16_t ACK_VDO_GET_FR_ERR = 541;
inline constexpr std::uint16_t ACK_VDO_ENC_PAUSE = 542;
inline constexpr std::uint16_t ACK_VDO_ENC_RESUME = 543;
inline constexpr std::uint16_t ACK_ADO_DEC_BUF_POINT = 544;

// Expansion-box link only: acknowledgement = request + 1.
inline constexpr std::uint16_t REQ_RECV_VDO_CAPABILITY = 545;
inline constexpr std::uint16_t ACK_RECV_VDO_CAPABILITY = 546;
inline constexpr std::uint16_t REQ_RECV_CNT_CAPABILITY = 547;
inline constexpr std::uint16_t ACK_RECV_CNT_CAPABILITY = 548;
inline constexpr std::uint16_t REQ_REMOTE_CHANGE_VDO_SRC = 549;
inline constexpr std::uint16_t ACK_REMOTE_CHANGE_VDO_SRC = 550;
inline constexpr std::uint16_t REQ_CHANGE_BRISKO_VDO_MODE = 551;
inline constexpr std::uint16_t ACK_CHANGE_VDO_MODE = 552;
inline constexpr std::uint16_t REQ_VDO_DEC_CLOSE = 557;
inline constexpr std::uint16_t ACK_VDO_DEC_CLOSE = 558;
inline constexpr std::uint16_t REQ_ADO_DEC_CLOSE = 559;
inline constexpr std::uint16_t ACK_ADO_DEC_CLOSE = 560;
inline constexpr std::uint16_t REQ_START_TEST_CALL = 561;
inline constexpr std::uint16_t ACK_START_TEST_CALL = 562;
inline constexpr std::uint16_t REQ_STOP_TEST_CALL = 563;
inline constexpr std::uint16_t ACK_STOP_TEST_CALL = 564;
inline constexpr std::uint16_t REQ_SET_SID = 565;
inline constexpr std::uint16_t ACK_SET_SID = 566;
inline constexpr std::uint16_t REQ_CHANGE_KVX_VDO_MODE = 567;
inline constexpr std::uint16_t ACK_CHANGE_KVX_VDO_MODE = 568;

// Codec-server link from 529 on: the tools' extra requests, and the servers'
// replies, which carry the request code + 18.
inline constexpr std::uint16_t REQ_ADO_ENC_CHANGE_BIT_RATE = 529;
inline constexpr std::uint16_t REQ_ADO_CTRL_WRITE = 530;
inline constexpr std::uint16_t kServerReplyOffset = 18;
inline constexpr std::uint16_t RSP_ADO_ENC = REQ_ADO_ENC + kServerReplyOffset;          // 532
inline constexpr std::uint16_t RSP_ADO_DEC = REQ_ADO_DEC + kServerReplyOffset;          // 534
inline constexpr std::uint16_t RSP_ADO_CLOSE = REQ_ADO_CLOSE + kServerReplyOffset;      // 536
inline constexpr std::uint16_t RSP_ADO_CTRL_WRITE = REQ_ADO_CTRL_WRITE + kServerReplyOffset;  // 548

// Media standards (u16Type).
inline constexpr std::uint16_t STD_H261 = 51;
inline constexpr std::uint16_t STD_H263 = 52;
inline constexpr std::uint16_t STD_VIDEO_53 = 53;
inline constexpr std::uint16_t STD_H264 = 54;
inline constexpr std::uint16_t STD_G711U = 1;
inline constexpr std::uint16_t STD_G711A = 2;
inline constexpr std::uint16_t STD_G722 = 3;
inline constexpr std::uint16_t STD_AUDIO_4 = 4;
inline constexpr std::uint16_t STD_G7221_24K = 5;
inline constexpr std::uint16_t STD_G7221_32K = 6;
inline constexpr std::uint16_t STD_G7221C_24K = 7;
inline constexpr std::uint16_t STD_G7221C_32K = 8;
inline constexpr std::uint16_t STD_G7221C_48K = 9;
inline constexpr std::uint16_t STD_PCM = 10;
inline constexpr std::uint16_t STD_SILK = 11;
inline constexpr std::uint16_t STD_G729 = 12;

}  // namespace wire
