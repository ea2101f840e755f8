// What the board streams on pipe 0x82 while nothing is queued there: a
// counter pattern (every byte position is predictable, so loss or
// duplication shows), the I2S host port's two sines as interleaved 16-bit
// stereo samples, or nothing (a stalled stream).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace dirov::sim {

class StreamGenerator {
   public:
    enum class Pattern { Off, Counter, I2sSines };

    void set_pattern(Pattern p);
    Pattern pattern();
    // Bytes per transfer, at most 20480.
    void set_transfer_size(uint32_t bytes);
    // I2S stereo frames per second.
    void set_sample_rate(uint32_t hz);
    // channel 0 left, 1 right; amplitude as a fraction of full scale.
    void set_sine(int channel, float frequency, float amplitude);

    // The next transfer, or false when the pattern is Off.
    bool next(std::vector<uint8_t>& out);

   private:
    std::mutex mu_;
    Pattern pattern_ = Pattern::Off;
    uint32_t transfer_size_ = 20480;
    uint32_t sample_rate_ = 48000;
    float freq_[2] = {1000.0f, 1000.0f};
    float amp_[2] = {0.5f, 0.5f};
    uint64_t counter_ = 0;  // bytes of counter pattern produced
    uint64_t frame_ = 0;    // I2S frames produced
};

}  // namespace dirov::sim
