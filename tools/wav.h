// WAV files of the I2S host port's stream: 16-bit little-endian stereo PCM.
#pragma once

#include <cstdint>
#include <string>

namespace dirovctl {

inline constexpr uint16_t kWavChannels = 2;
inline constexpr uint16_t kWavBitsPerSample = 16;
inline constexpr uint32_t kWavHeaderSize = 44;

// Writes `wav` from the raw capture file `raw` (whole frames only). Written
// to a temporary file and renamed, so no half-written WAV file is left.
// Returns an empty string on success, else what went wrong.
std::string write_wav(const std::string& raw, const std::string& wav, uint32_t sample_rate);

}  // namespace dirovctl
