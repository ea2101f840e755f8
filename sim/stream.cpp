#include "sim/stream.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace dirov::sim {
namespace {
constexpr uint32_t kMaxTransfer = 20480;
constexpr uint32_t kFrameBytes = 4;  // left and right 16-bit samples
}  // namespace

void StreamGenerator::set_pattern(Pattern p) {
    std::lock_guard lk(mu_);
    pattern_ = p;
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

bool StreamGenerator::next(std::vector<uint8_t>& out) {
    std::lock_guard lk(mu_);
    switch (pattern_) {
        case Pattern::Off:
            return false;
        case Pattern::Counter:
            out.resize(transfer_size_);
            for (auto& b : out) b = static_cast<uint8_t>(counter_++);
            return true;
        case Pattern::I2sSines: {
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
            return true;
        }
    }
    return false;
}

}  // namespace dirov::sim
