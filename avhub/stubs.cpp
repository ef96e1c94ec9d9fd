// Weak stand-ins for the functions of hooks.hpp, so avhub builds and runs
// before every module is in place. Each logs what it was given.
#include <unistd.h>

#include "hooks.hpp"
#include "log.hpp"

#define AVHUB_WEAK __attribute__((weak))

namespace avhub {

namespace {
constexpr char kModule[] = "stubs.c";
}

AVHUB_WEAK void start_test() {
    AVHUB_LOG("start_test (not built in) \n");
}

AVHUB_WEAK void stop_test() {
    AVHUB_LOG("stop_test (not built in) \n");
}

AVHUB_WEAK void set_dsp_vdo_res(std::uint16_t u16Width, std::uint16_t u16Height) {
    AVHUB_LOG("set_dsp_vdo_res %d %d (not built in) \n", u16Width, u16Height);
}

AVHUB_WEAK void main_thread_read_sock_buf(int, std::span<std::uint8_t>, std::uint32_t&, std::uint8_t&) {
    // Called on every loop pass: silent.
}

AVHUB_WEAK void init_expansion_box_thread_socket() {
    AVHUB_LOG("init_expansion_box_thread_socket (not built in) \n");
}

AVHUB_WEAK void expansion_box_thread_socket_data_proc() {
    // Called back to back while "vcb_start" waits; keep the stand-in from
    // spinning a core.
    usleep(1000);
}

AVHUB_WEAK std::uint32_t get_box_vdo_btsm_cnt() {
    return 0;
}

AVHUB_WEAK void close_expansion_box_clients() {
    AVHUB_LOG("close_expansion_box_clients (not built in) \n");
}

AVHUB_WEAK int start_animation(const char* pu8Path, std::uint32_t u32State) {
    AVHUB_LOG("start_animation %s %u (not built in) \n", pu8Path, u32State);
    return 1;
}

AVHUB_WEAK void read_btsm() {}

AVHUB_WEAK void play_out() {}

AVHUB_WEAK bool is_animation_playing() {
    return false;
}

AVHUB_WEAK void play_animation_cmd(std::string_view name) {
    AVHUB_LOG("Play Animation %.*s [%d] (not built in) \n", static_cast<int>(name.size()), name.data(),
              static_cast<int>(name.size()));
}

AVHUB_WEAK void finish_animation_cmd() {}

AVHUB_WEAK void close_animation_clip() {}

AVHUB_WEAK void play_dtmf(int s32Key) {
    AVHUB_LOG("play_dtmf %d (not built in) \n", s32Key);
}

}  // namespace avhub
