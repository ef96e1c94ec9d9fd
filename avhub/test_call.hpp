// Loopback test call: the codec commands that start and stop a call, the
// display set-up, the audio standard table and the test deadline.
#pragma once

#include <array>
#include <cstdint>

namespace avhub {

// Block lengths and bit-rate values per audio standard, for the encoder and
// the decoder side of a call (they differ for G.722 and linear PCM).
struct AdoStdParam {
    std::uint16_t u16EncBlk;
    std::uint16_t u16EncBitRate;
    std::uint16_t u16DecBlk;
    std::uint16_t u16DecBitRate;
};

inline constexpr int kAdoTypeMin = 1;
inline constexpr int kAdoTypeMax = 11;

// Indexed by AdoType - 1.
inline constexpr std::array<AdoStdParam, kAdoTypeMax> kAdoStdTable{{
    {160, 8, 160, 8},    // 1 G.711 mu-law
    {160, 8, 160, 8},    // 2 G.711 A-law
    {160, 8, 160, 16},   // 3 G.722
    {160, 16, 160, 16},  // 4
    {320, 3, 320, 3},    // 5 G.722.1 24k
    {320, 4, 320, 4},    // 6 G.722.1 32k
    {240, 3, 240, 3},    // 7 G.722.1 C 24k
    {320, 4, 320, 4},    // 8 G.722.1 C 32k
    {480, 6, 480, 6},    // 9 G.722.1 C 48k
    {640, 64, 160, 64},  // 10 linear PCM
    {20, 1, 20, 1},      // 11 SILK
}};

// QCIF width: the encoder then also runs channel 0 at twice the size.
inline constexpr int kQcifWidth = 176;

void start_test();
void stop_test();

// Deadline of a test call of test_time_s seconds started at now_ms on the
// 32-bit clock; 0 means none. The deadline is compared through a signed
// 32-bit difference, so a test longer than that can tell (about 24.8 days)
// gets no deadline rather than one that reads as already past.
std::uint32_t test_deadline(std::int32_t test_time_s, std::int32_t now_ms);
void set_dsp_vdo_res(std::uint16_t u16Width, std::uint16_t u16Height);

}  // namespace avhub
