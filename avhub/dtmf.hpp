// DTMF tone playback: one key's stored tone streamed to audio decoder
// channel 1, framed by the quad display's tone indicator commands.
#pragma once

#include <cstdint>

namespace avhub {

// Tone files "/mnt/project/Tivane/snd<N>.711" for keys 0..11.
inline constexpr std::uint32_t kDtmfKeyCount = 12;
inline constexpr std::uint8_t kDtmfChan = 1;
// G.711 mu-law at 8000 bytes/s: one 160-byte block is 20 ms of sound.
inline constexpr std::uint32_t kDtmfBlockBytes = 160;

// play_dtmf (declared with the other FIFO command hooks) plays the tone of
// one key index to its end and blocks the loop meanwhile.

}  // namespace avhub
