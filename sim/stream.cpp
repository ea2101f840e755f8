#include "sim/stream.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>

#include "platform/platform.h"
#include "sim/board.h"

namespace dirov::sim {
namespace {
constexpr uint32_t kMaxTransfer = 20480;
constexpr uint32_t kFrameBytes = 4;  // left and right 16-bit samples
constexpr uint8_t kStreamPipe = 0x82;

uint64_t now_us() {
    return clock().now_ms() * 1000;
}
}  // namespace

void StreamGenerator::set_pattern(Pattern p) {
    {
        std::lock_guard lk(mu_);
        // A new pattern may bring its own pace: pacing starts afresh.
        if (p != pattern_) {
            start_us_ = now_us();
            paced_ = 0;
        }
        pattern_ = p;
    }
    if (board_) board_->kick_stream();
}

StreamGenerator::Pattern StreamGenerator::pattern() {
    std::lock_guard lk(mu_);
    return pattern_;
}

void StreamGenerator::set_transfer_size(uint32_t bytes) {
    std::lock_guard lk(mu_);
    transfer_size_ = std::min(bytes, kMaxTransfer);
}

void StreamGenerator::set_sample_rate(uint32_t hz) {
    std::lock_guard lk(mu_);
    sample_rate_ = hz ? hz : 1;
}

void StreamGenerator::set_sine(int channel, float frequency, float amplitude) {
    std::lock_guard lk(mu_);
    if (channel < 0 || channel > 1) return;
    freq_[channel] = frequency;
    amp_[channel] = amplitude;
}

void StreamGenerator::set_rate(uint64_t bytes_per_s) {
    std::lock_guard lk(mu_);
    rate_ = bytes_per_s;
    start_us_ = now_us();
    paced_ = 0;
}

void StreamGenerator::restart() {
    std::lock_guard lk(mu_);
    counter_ = produced_ = frame_ = paced_ = 0;
    start_us_ = now_us();
}

uint64_t StreamGenerator::produced() {
    std::lock_guard lk(mu_);
    return produced_;
}

// The I2S sines come at their sample rate, as the port's DMA delivers them,
// unless a rate is set; the counter comes as fast as it is read.
uint64_t StreamGenerator::pace_rate() const {
    if (rate_) return rate_;
    return pattern_ == Pattern::kI2sSines ? uint64_t{sample_rate_} * kFrameBytes : 0;
}

// Waits on the board's clock until `due_us`: a virtual clock is moved on, a
// real one is waited for on the board, where an abort of the read cuts the
// wait short (false).
bool StreamGenerator::pace(uint64_t due_us) {
    uint64_t now = now_us();
    if (due_us <= now) return true;
    if (clock_is_virtual()) {
        advance_clock((due_us - now + 999) / 1000);
        return true;
    }
    return !board_ || board_->wait_stream(kStreamPipe, due_us - now);
}

void StreamGenerator::fill_counter(uint8_t* out, uint32_t n) {
    uint32_t i = 0;
    for (; i < n && counter_ % 4 != 0; ++i) out[i] = counter_byte(counter_++);
    auto word = static_cast<uint32_t>(counter_ / 4);
    uint32_t words = (n - i) / 4;
    uint8_t* at = out + i;
    for (uint32_t w = 0; w < words; ++w) {
        uint32_t v = word + w;
        if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
        std::memcpy(at + 4 * w, &v, 4);  // vectorised: this runs at stream speed
    }
    i += 4 * words;
    counter_ += 4ull * words;
    for (; i < n; ++i) out[i] = counter_byte(counter_++);
}

void StreamGenerator::fill_sines(std::vector<uint8_t>& out) {
    uint32_t frames = transfer_size_ / kFrameBytes;
    out.resize(frames * kFrameBytes);
    for (uint32_t i = 0; i < frames; ++i, ++frame_) {
        double t = static_cast<double>(frame_) / sample_rate_;
        for (int c = 0; c < 2; ++c) {
            double v = amp_[c] * std::sin(2 * std::numbers::pi * freq_[c] * t);
            auto s = static_cast<int16_t>(std::lround(std::clamp(v, -1.0, 1.0) * 32767));
            out[i * kFrameBytes + 2 * c] = static_cast<uint8_t>(s & 0xFF);
            out[i * kFrameBytes + 2 * c + 1] = static_cast<uint8_t>((s >> 8) & 0xFF);
        }
    }
}

bool StreamGenerator::next(std::vector<uint8_t>& out) {
    uint64_t due_us = 0;
    {
        std::lock_guard lk(mu_);
        if (pattern_ == Pattern::kOff) return false;
        if (uint64_t rate = pace_rate())
            due_us = start_us_ + (paced_ + transfer_size_) * 1000000 / rate;
    }
    if (due_us && !pace(due_us)) return false;
    std::lock_guard lk(mu_);
    switch (pattern_) {
        case Pattern::kOff:
            return false;
        case Pattern::kCounter:
            out.resize(transfer_size_);
            fill_counter(out.data(), transfer_size_);
            break;
        case Pattern::kI2sSines:
            fill_sines(out);
            break;
    }
    produced_ += out.size();
    paced_ += out.size();
    return true;
}

}  // namespace dirov::sim
