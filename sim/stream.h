// What the board streams on pipe 0x82 while nothing is queued there: a
// counter pattern (every byte position is predictable, so loss or
// duplication shows), the I2S host port's two sines as interleaved 16-bit
// stereo samples, or nothing (a stalled stream). A rate paces the stream on
// the board's clock.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace dirov::sim {

class Board;

// The simulated clock: virtual (Sleep advances it at once) or real.
bool clock_is_virtual();
void advance_clock(uint64_t ms);

class StreamGenerator {
   public:
    enum class Pattern { kOff, kCounter, kI2sSines };

    // The board whose clock paces the stream and whose waiting reads must
    // hear when the pattern comes on.
    void attach(Board* board) { board_ = board; }

    void set_pattern(Pattern p);
    Pattern pattern();
    // Bytes per transfer, at most 20480.
    void set_transfer_size(uint32_t bytes);
    // I2S stereo frames per second.
    void set_sample_rate(uint32_t hz);
    // channel 0 left, 1 right; amplitude as a fraction of full scale.
    void set_sine(int channel, float frequency, float amplitude);
    // Stream bytes per second; 0 = the pattern's own pace (the sines at the
    // sample rate, the counter as fast as the host reads).
    void set_rate(uint64_t bytes_per_s);
    // Starts the counter pattern, the sines and the pacing afresh.
    void restart();
    // Bytes made since the last restart.
    uint64_t produced();

    // The next transfer, or false when the pattern is Off or when a pacing
    // wait was cut short by an abort of the read or the board going away.
    bool next(std::vector<uint8_t>& out);

    // The counter pattern is the run of 32-bit little-endian words 0, 1, 2...
    static uint8_t counter_byte(uint64_t offset) {
        return static_cast<uint8_t>((offset / 4) >> (8 * (offset % 4)));
    }

   private:
    uint64_t pace_rate() const;  // under mu_
    bool pace(uint64_t due_us);
    void fill_counter(uint8_t* out, uint32_t n);
    void fill_sines(std::vector<uint8_t>& out);

    Board* board_ = nullptr;
    std::mutex mu_;
    Pattern pattern_ = Pattern::kOff;
    uint32_t transfer_size_ = 20480;
    uint32_t sample_rate_ = 48000;
    float freq_[2] = {1000.0f, 1000.0f};
    float amp_[2] = {0.5f, 0.5f};
    uint64_t rate_ = 0;      // bytes per second, 0 = the pattern's own pace
    uint64_t start_us_ = 0;  // board clock when pacing began
    uint64_t paced_ = 0;     // bytes made since pacing began
    uint64_t counter_ = 0;   // bytes of counter pattern made
    uint64_t produced_ = 0;  // bytes made since the last restart
    uint64_t frame_ = 0;     // I2S frames made
};

}  // namespace dirov::sim
