#include "tools/wav.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "platform/byte_order.h"
#include "platform/file_ops.h"
#include "tools/stop.h"

namespace dirovctl {
namespace {

using File = dirov::files::UniqueFile;

std::array<uint8_t, kWavHeaderSize> header(uint32_t data_bytes, uint32_t rate) {
    const uint16_t block = kWavChannels * kWavBitsPerSample / 8;
    std::array<uint8_t, kWavHeaderSize> h{};
    std::copy_n("RIFF", 4, h.begin());
    dirov::store_le32(&h[4], 36 + data_bytes);
    std::copy_n("WAVEfmt ", 8, h.begin() + 8);
    dirov::store_le32(&h[16], 16);
    dirov::store_le16(&h[20], 1);  // PCM
    dirov::store_le16(&h[22], kWavChannels);
    dirov::store_le32(&h[24], rate);
    dirov::store_le32(&h[28], rate * block);
    dirov::store_le16(&h[32], block);
    dirov::store_le16(&h[34], kWavBitsPerSample);
    std::copy_n("data", 4, h.begin() + 36);
    dirov::store_le32(&h[40], data_bytes);
    return h;
}

std::string reason(const char* what, const std::string& path) {
    return std::string("cannot ") + what + " " + path + ": " + std::strerror(errno);
}

std::string copy_frames(FILE* in, FILE* out, uint32_t frame_bytes, const std::string& raw,
                        const std::string& tmp) {
    std::array<uint8_t, 65536> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), in)) > 0) {
        n -= n %
             frame_bytes;  // only a trailing partial frame can be cut: the buffer is whole frames
        if (std::fwrite(buf.data(), 1, n, out) != n) return reason("write", tmp);
    }
    return std::ferror(in) ? reason("read", raw) : "";
}

}  // namespace

std::string write_wav(const std::string& raw, const std::string& wav, uint32_t sample_rate) {
    std::error_code ec;
    uintmax_t size = std::filesystem::file_size(raw, ec);
    if (ec) return "cannot read " + raw + ": " + ec.message();
    const uint32_t frame = kWavChannels * kWavBitsPerSample / 8;
    if (size > 0xFFFFFFFFull - kWavHeaderSize - 8) return "capture too large for a WAV file";
    auto data_bytes = static_cast<uint32_t>(size - size % frame);

    File in(std::fopen(raw.c_str(), "rb"));
    if (!in) return reason("open", raw);
    std::optional<dirov::files::TempFile> out;
    {
        // The temporary file and its registration for a forced stop come
        // into being together.
        SignalsHeld held;
        out.emplace(wav);
        if (out->file()) remove_on_forced_stop(out->path().c_str());
    }
    if (!out->file()) return reason("create a file beside", wav);
    auto h = header(data_bytes, sample_rate);
    std::string err = std::fwrite(h.data(), 1, h.size(), out->file()) == h.size()
                          ? copy_frames(in.get(), out->file(), frame, raw, out->path())
                          : reason("write", out->path());
    if (err.empty() && !out->commit()) err = reason("write", wav);
    {
        SignalsHeld held;
        remove_on_forced_stop(nullptr);
    }
    out.reset();
    return err;
}

}  // namespace dirovctl
