// The control FIFO's command table. handle_fifo_cmd takes the bytes of one
// read, so the loop, the tests and a fuzzer feed it the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace avhub {

inline constexpr const char* kFifoPath = "/dev/avhub";
inline constexpr std::size_t kFifoReadMax = 4096;
// Longest clip path the player can hold (its name buffer is 256 bytes).
inline constexpr std::size_t kPlayNameMax = 255;
// How long "vcb_start" waits for a bridge video bitstream connection, and
// how long it sleeps between two service steps (the poll loop's period).
inline constexpr std::int32_t kVcbWaitMs = 20000;
inline constexpr int kVcbStepSleepMs = 1;

enum class FifoAction { kContinue, kClose };

// The calls the commands make into the other modules; the defaults are the
// functions of hooks.hpp. Tests substitute recorders.
struct FifoHooks {
    void (*start_test)();
    void (*stop_test)();
    void (*play_dtmf)(int);
    void (*play_animation_cmd)(std::string_view);
    void (*finish_animation_cmd)();
    void (*box_wait_begin)();
    void (*box_service_step)();
    std::uint32_t (*box_vdo_btsm_cnt)();
    void (*close_box_clients)();
    int (*run_shell)(const char*);
};

const FifoHooks& default_fifo_hooks();

// Logs the text of one read and runs the command it starts with; whatever
// follows that command in the same read is ignored. kClose asks the caller
// to shut down.
FifoAction handle_fifo_cmd(std::span<const char> bytes, const FifoHooks& hooks = default_fifo_hooks());

}  // namespace avhub
