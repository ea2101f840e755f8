#include "tools/tour.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "dirov410.h"
#include "tools/board.h"
#include "tools/capture.h"
#include "tools/log.h"
#include "tools/wav.h"

namespace dirovctl {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSampleRate = 48000;
constexpr uint32_t kFrameBytes = 4;
constexpr float kLeftHz = 1000, kRightHz = 440;

// During the tour the library's diagnostic lines go to tour.log; the tour's
// own lines go to the terminal.
class LibraryLinesToLog {
   public:
    explicit LibraryLinesToLog(const fs::path& log) : file_(std::fopen(log.string().c_str(), "w")) {
        if (file_) dirov_set_log_handler(write_line, file_);
    }
    ~LibraryLinesToLog() {
        if (!file_) return;
        route_library_log(verbosity());
        std::fclose(file_);
    }
    LibraryLinesToLog(const LibraryLinesToLog&) = delete;
    LibraryLinesToLog& operator=(const LibraryLinesToLog&) = delete;

   private:
    static void write_line(void* file, int32_t, const char* line) {
        std::fprintf(static_cast<FILE*>(file), "%s\n", line);
    }
    FILE* file_;
};

__attribute__((format(printf, 1, 2))) void say(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stdout, format, ap);
    va_end(ap);
    std::fflush(stdout);
}

struct Tour {
    WINUSB_INTERFACE_HANDLE h = nullptr;
    fs::path dir;
    std::string elf;
    int failed = 0;

    // Runs one step: prints its title, then "ok" or what went wrong.
    void step(const char* title, const std::function<std::string()>& body) {
        say("\n== %s\n", title);
        std::string err = body();
        if (err.empty()) {
            say("   ok\n");
        } else {
            say("   FAILED: %s (the library's messages are in %s)\n", err.c_str(),
                (dir / "tour.log").string().c_str());
            ++failed;
        }
    }
};

std::string expect(bool cond, const std::string& what) {
    return cond ? "" : what;
}

// Frequency of one channel of 16-bit stereo samples, from rising zero
// crossings.
double channel_frequency(const std::vector<uint8_t>& raw, int channel) {
    size_t frames = raw.size() / kFrameBytes;
    int crossings = 0;
    int16_t prev = 0;
    for (size_t i = 0; i < frames; ++i) {
        size_t at = i * kFrameBytes + 2 * channel;
        auto s = static_cast<int16_t>(raw[at] | raw[at + 1] << 8);
        if (i && prev < 0 && s >= 0) ++crossings;
        prev = s;
    }
    return frames ? crossings * static_cast<double>(kSampleRate) / frames : 0;
}

std::string open_board(Tour& t) {
    ItfOpenResult r = Hx410DItfOpen();
    say("   interface open: state %d, bootloader %s, firmware valid %d\n", r.ConnState,
        hex32(r.BootloaderVersion).c_str(), r.FirmwareValid);
    if (r.ConnState != 2) return "the board did not come up as main firmware";
    t.h = _GetWinUsbHandle();
    return "";
}

std::string identity(Tour& t) {
    int32_t v = gen_version(t.h);
    say("   serial %s, firmware %s\n", serial_number().c_str(),
        hex32(static_cast<uint32_t>(v)).c_str());
    return expect(v != -1, "no firmware version");
}

std::string registers(Tour& t) {
    if (cbus_write_word(t.h, 1, 0x20, 0xBEEF) != 0) return "cbus_write_word failed";
    int32_t w = cbus_read_word(t.h, 1, 0x20);
    say("   CBUS word 1,0x20 <- 0xBEEF, reads back 0x%04X\n", static_cast<unsigned>(w));
    const uint8_t out[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    uint8_t in[255] = {};
    if (cbus_write_byte_stream(t.h, 2, 0x10, 4, out) != 0) return "byte stream write failed";
    if (cbus_read_byte_stream(t.h, 2, 0x10, 4, in) != 0) return "byte stream read failed";
    say("   CBUS byte stream 2,0x10: %02X %02X %02X %02X\n", in[0], in[1], in[2], in[3]);
    if (w != 0xBEEF) return "word read back differs";
    return expect(std::equal(out, out + 4, in), "byte stream read back differs");
}

std::string io_lines(Tour& t) {
    if (gpio_init(t.h) || gpio_set_dir(t.h, 0x00FF) || gpio_write(t.h, 0x0055) ||
        gpio_set_pin(t.h, 0x0100) || gpio_clear_pin(t.h, 0x0001))
        return "GPIO commands failed";
    int32_t g = gpio_read(t.h);
    if (io_init(t.h) || io_set_dir(t.h, 0x0F) || io_write(t.h, 0x0A)) return "IO commands failed";
    int32_t io = io_read(t.h);
    if (dedicated_io_init(t.h) || set_booten_1(t.h, 1) || irqn_enable(t.h))
        return "dedicated I/O commands failed";
    int32_t st = dedio_get_status(t.h);
    say("   GPIO reads 0x%04X, IO reads 0x%04X, dedicated status 0x%02X\n",
        static_cast<unsigned>(g), static_cast<unsigned>(io), static_cast<unsigned>(st));
    return expect(g != -1 && io != -1 && st != -1, "a read failed");
}

std::string audio(Tour& t) {
    if (host_port_i2s_init(t.h) || host_port_i2s_dma_set_left_sine(t.h, kLeftHz, 0.5f) ||
        host_port_i2s_dma_set_right_sine(t.h, kRightHz, 0.25f))
        return "I2S set-up failed";
    if (host_port_rx_i2s_dma_enable(t.h) != 0) return "cannot enable I2S RX DMA";
    const uint64_t second = kSampleRate * kFrameBytes;
    fs::path raw = t.dir / "tour.raw", wav = t.dir / "tour.wav";
    CaptureRequest req;
    req.fd = open(raw.string().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    req.name = raw.string();
    req.byteLimit = second;
    if (req.fd < 0) return "cannot create " + raw.string() + ": " + std::strerror(errno);
    CaptureResult r = capture_stream(req);
    host_port_i2s_dma_disable(t.h);
    if (close(req.fd) != 0 && r.error.empty()) r.error = "cannot write " + raw.string();
    if (!r.error.empty()) return r.error;
    std::string err = write_wav(raw.string(), wav.string(), kSampleRate);
    if (!err.empty()) return err;
    std::ifstream in(raw, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    double left = channel_frequency(bytes, 0), right = channel_frequency(bytes, 1);
    say("   %s: %zu bytes; left %.0f Hz, right %.0f Hz\n   %s\n", raw.string().c_str(),
        bytes.size(), left, right, wav.string().c_str());
    if (bytes.size() != second) return "the raw file does not hold exactly one second";
    return expect(std::abs(left - kLeftHz) < 5 && std::abs(right - kRightHz) < 5,
                  "the captured sines have the wrong frequencies");
}

std::string upgrade(Tour& t) {
    fs::path dfu = t.dir / "firmware.dfu";
    if (dfu_file_create(t.elf.c_str(), dfu.string().c_str(), 0, nullptr, nullptr) != 0)
        return "cannot make a DFU file from " + t.elf;
    uint8_t* image = nullptr;
    uint32_t count = 0;
    if (dfu_file_read(dfu.string().c_str(), &image, &count) != 0)
        return "cannot read " + dfu.string();
    std::free(image);
    say("   %s: %u records from %s\n", dfu.string().c_str(), count, t.elf.c_str());
    int32_t before = gen_version(t.h);
    if (upgrade_with_progress(dfu.string()) != 0) return "FirmwareUpgrade failed";
    t.h = _GetWinUsbHandle();
    int32_t after = gen_version(t.h);
    say("   firmware %s -> %s\n", hex32(static_cast<uint32_t>(before)).c_str(),
        hex32(static_cast<uint32_t>(after)).c_str());
    return expect(after != -1 && after != before, "the board does not run the new firmware");
}

// A new folder of its own under the system's temporary folder; empty on
// failure. create_directory makes it only if the name is free.
fs::path new_temp_dir() {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    std::random_device rd;
    for (int attempt = 0; !ec && attempt < 100; ++attempt) {
        fs::path dir = base / ("dirov410-tour-" + std::to_string(rd() & 0xFFFFFF));
        if (fs::create_directory(dir, ec)) return dir;
    }
    return {};
}

// The sample installed beside the tool (share/dirov410 next to its bin
// folder), or the source tree's when the tool runs from the build tree.
std::string default_elf() {
    std::error_code ec;
    fs::path installed =
        fs::read_symlink("/proc/self/exe", ec).parent_path() / DIROV_SAMPLE_ELF_FROM_TOOL;
    if (!ec && fs::exists(installed, ec)) return installed.lexically_normal().string();
    return DIROV_SAMPLE_ELF_BUILD;
}

}  // namespace

int run_tour(const TourOptions& opts) {
    Tour t;
    t.elf = opts.elf.empty() ? default_elf() : opts.elf;
    std::error_code ec;
    if (opts.dir.empty()) {
        t.dir = new_temp_dir();
        if (t.dir.empty()) return fail("cannot make a folder for the tour's files");
    } else {
        t.dir = opts.dir;
        fs::create_directories(t.dir, ec);
    }
    say("dirov410 tour of a simulated board; files go to %s\n", t.dir.string().c_str());
    LibraryLinesToLog log(t.dir / "tour.log");
    t.step("Open the board from its bootloader", [&] { return open_board(t); });
    if (t.failed) {
        say("The board did not open; the tour stops here.\n");
        return kExitFailure;
    }
    t.step("Identity", [&] { return identity(t); });
    t.step("Bus registers", [&] { return registers(t); });
    t.step("I/O lines", [&] { return io_lines(t); });
    t.step("One second of I2S audio to a raw and a WAV file", [&] { return audio(t); });
    t.step("Firmware upgrade from the sample ELF", [&] { return upgrade(t); });
    say("\n%s\n", t.failed ? "The tour had failures." : "The tour passed every step.");
    return t.failed ? kExitFailure : kExitOk;
}

}  // namespace dirovctl
