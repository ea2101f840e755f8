#include "tools/wav.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "tools/stop.h"

namespace dirovctl {
namespace {

struct FileClose {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileClose>;

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::array<uint8_t, kWavHeaderSize> header(uint32_t dataBytes, uint32_t rate) {
    const uint16_t block = kWavChannels * kWavBitsPerSample / 8;
    std::array<uint8_t, kWavHeaderSize> h{};
    std::copy_n("RIFF", 4, h.begin());
    put32(&h[4], 36 + dataBytes);
    std::copy_n("WAVEfmt ", 8, h.begin() + 8);
    put32(&h[16], 16);
    put16(&h[20], 1);  // PCM
    put16(&h[22], kWavChannels);
    put32(&h[24], rate);
    put32(&h[28], rate * block);
    put16(&h[32], block);
    put16(&h[34], kWavBitsPerSample);
    std::copy_n("data", 4, h.begin() + 36);
    put32(&h[40], dataBytes);
    return h;
}

std::string reason(const char* what, const std::string& path) {
    return std::string("cannot ") + what + " " + path + ": " + std::strerror(errno);
}

// The temporary file, registered for removal by a forced stop as it comes
// into being.
File create_temporary(const std::string& tmp) {
    SignalsHeld held;
    File f(std::fopen(tmp.c_str(), "wb"));
    if (f) remove_on_forced_stop(tmp.c_str());
    return f;
}

std::string copy_frames(FILE* in, FILE* out, uint32_t frameBytes, const std::string& raw,
                        const std::string& tmp) {
    std::array<uint8_t, 65536> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), in)) > 0) {
        n -= n % frameBytes;  // only a trailing partial frame can be cut: the buffer is whole frames
        if (std::fwrite(buf.data(), 1, n, out) != n) return reason("write", tmp);
    }
    return std::ferror(in) ? reason("read", raw) : "";
}

}  // namespace

std::string write_wav(const std::string& raw, const std::string& wav, uint32_t sampleRate) {
    std::error_code ec;
    uintmax_t size = std::filesystem::file_size(raw, ec);
    if (ec) return "cannot read " + raw + ": " + ec.message();
    const uint32_t frame = kWavChannels * kWavBitsPerSample / 8;
    if (size > 0xFFFFFFFFull - kWavHeaderSize - 8) return "capture too large for a WAV file";
    auto dataBytes = static_cast<uint32_t>(size - size % frame);

    File in(std::fopen(raw.c_str(), "rb"));
    if (!in) return reason("open", raw);
    const std::string tmp = wav + ".tmp";
    File out = create_temporary(tmp);
    if (!out) return reason("create", tmp);
    auto h = header(dataBytes, sampleRate);
    std::string err = std::fwrite(h.data(), 1, h.size(), out.get()) == h.size()
                          ? copy_frames(in.get(), out.get(), frame, raw, tmp)
                          : reason("write", tmp);
    if (std::fclose(out.release()) != 0 && err.empty()) err = reason("write", tmp);
    if (err.empty()) std::filesystem::rename(tmp, wav, ec);
    if (err.empty() && ec) err = "cannot rename " + tmp + " to " + wav + ": " + ec.message();
    if (!err.empty()) std::filesystem::remove(tmp, ec);
    SignalsHeld held;
    remove_on_forced_stop(nullptr);
    return err;
}

}  // namespace dirovctl
