// Functions the FIFO commands and the poll loop call in the other avhub
// modules (test call, relay, expansion box, animation and tones); each is
// defined in its own module's file.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace avhub {

// Loopback test call (test_call module).
void start_test();
void stop_test();
void set_dsp_vdo_res(std::uint16_t u16Width, std::uint16_t u16Height);

// Encoder bitstream relay: one read step on an encoder socket into its
// receive buffer, with the held-byte count and de-framing state in/out.
void main_thread_read_sock_buf(int s32SockFd, std::span<std::uint8_t> pu8Buf, std::uint32_t& u32BufLen,
                               std::uint8_t& u8Status);

// Expansion box server (box_test module).
void init_expansion_box_thread_socket();
void expansion_box_thread_socket_data_proc();
// A "vcb_start" wait begins (a full table is logged again once).
void begin_expansion_box_wait();
// Video bitstream connections accepted since the last reset (u32VdoBtsmCnt).
std::uint32_t get_box_vdo_btsm_cnt();
// "vcb_stop": closes every open connection of the 10 slots (audio command,
// video command, audio bitstream, video bitstream, each logged) and sets the
// connected count to 0.
void close_expansion_box_clients();

// Animation playback (animation module).
int start_animation(const char* pu8Path, std::uint32_t u32State);
void read_btsm();
void play_out();
// True while u8Playing is set: the loop runs read_btsm and play_out.
bool is_animation_playing();
// "play": name already stripped of its line break and at most 255 bytes.
void play_animation_cmd(std::string_view name);
// "finish": stops a running playback; does nothing when idle.
void finish_animation_cmd();
// Shutdown: closes the clip that is open, if any.
void close_animation_clip();

// DTMF tone playback.
void play_dtmf(int s32Key);

}  // namespace avhub
