// dirovctl: drives a dirov410 board from the command line, through the
// library's exported API only.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "dirov410.h"
#include "dirov410_sim.h"
#include "tools/board.h"
#include "tools/calls.h"
#include "tools/capture.h"
#include "tools/log.h"
#include "tools/stop.h"
#include "tools/tour.h"
#include "tools/wav.h"

namespace dirovctl {
namespace {

struct FileClose {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileClose>;

// A simulated board for the life of the process; the board is closed and
// detached on every way out.
// --pattern and --rate: what the simulated board streams, and how fast.
struct SimStream {
    std::string pattern;
    std::string rate;
    bool given() const { return !pattern.empty() || !rate.empty(); }
};

void configure_stream(dirov_sim_board* board, const SimStream& s) {
    if (!s.rate.empty()) dirov_sim_stream_set_rate(board, parse_size(s.rate, "--rate"));
    if (s.pattern.empty()) return;
    dirov_sim_stream_set_pattern(board, s.pattern == "counter" ? DIROV_SIM_STREAM_COUNTER
                                        : s.pattern == "i2s"   ? DIROV_SIM_STREAM_I2S_SINES
                                                               : DIROV_SIM_STREAM_OFF);
}

class SimulatedBoard {
   public:
    void attach(const SimStream& stream) {
        dirov_sim_config cfg;
        dirov_sim_config_init(&cfg);
        cfg.face = DIROV_SIM_FACE_BOOTLOADER;  // as after power-up
        cfg.reenumerate_ms = 50;
        board_ = dirov_sim_attach(&cfg);
        if (board_) configure_stream(board_, stream);
    }
    ~SimulatedBoard() {
        CloseDevice(&DeviceData);
        if (board_) dirov_sim_detach(board_);
    }

   private:
    dirov_sim_board* board_ = nullptr;
};

int run_list() {
    struct Face {
        const char* name;
        const GUID* guid;
    } faces[] = {{"main firmware", &GUID_DEVINTERFACE_HX4104},
                 {"bootloader (DFU)", &GUID_DFU_MAIN_INTERFACE}};
    int found = 0;
    for (const Face& f : faces) {
        char path[DIROV_MAX_PATH];
        BOOL none = 0;
        if (RetrieveDevicePath(path, sizeof path, &none, f.guid) < 0) continue;
        ++found;
        std::string serial;
        if (OpenDevice(&DeviceData, &none, f.guid) >= 0) {
            serial = serial_number();
            CloseDevice(&DeviceData);
        }
        std::printf("%-18s %s  serial %s\n", f.name, path, serial.empty() ? "-" : serial.c_str());
    }
    return found ? kExitOk : fail("no board found");
}

int run_info() {
    ItfOpenResult r = Hx410DItfOpen();
    static const char* states[] = {"not connected", "bootloader", "main firmware"};
    std::printf("connection:         %s (%d)\n", r.ConnState >= 0 && r.ConnState <= 2
                                                     ? states[r.ConnState] : "?", r.ConnState);
    if (r.ConnState == 0 && r.BootloaderVersion == 0) return fail("no board found");
    std::printf("bootloader version: %s\n", hex32(r.BootloaderVersion).c_str());
    std::printf("firmware valid:     %s\n", r.FirmwareValid ? "yes" : "no");
    if (r.ConnState != 2) return kExitOk;
    std::printf("serial number:      %s\n", serial_number().c_str());
    int32_t v = gen_version(_GetWinUsbHandle());
    if (v == -1) return fail("cannot read the firmware version");
    std::printf("firmware version:   %s\n", hex32(static_cast<uint32_t>(v)).c_str());
    return kExitOk;
}

int run_cmd(const std::string& text) {
    std::string err;
    auto h = bring_up(err);
    if (!h) return fail(err);
    std::string line = text;
    if (line.empty() || line.back() != '\n') line += '\n';
    CommandReply* r = usb_comms(*h, line.c_str(), 0, nullptr);
    if (!r) return fail("command exchange failed");
    print_struct(r);
    std::string refusal = dirov_get_last_refusal();
    std::free(r->Data);
    std::free(r);
    return refusal.empty() ? kExitOk : fail("the board refused " + refusal);
}

int run_call(const std::string& name, const std::vector<std::string>& args) {
    const Call* c = find_call(name);
    if (!c) throw UsageError("unknown board command: " + name + " (see 'call --list')");
    if (args.size() != c->arity)
        throw UsageError(name + " takes " + std::to_string(c->arity) + " argument(s): " + c->args);
    std::string err;
    auto h = bring_up(err);
    if (!h) return fail(err);
    int32_t r = c->run(*h, args);
    std::string refusal = dirov_get_last_refusal();
    if (!refusal.empty()) return fail("the board refused " + refusal);
    return r == -1 ? fail(name + " failed") : kExitOk;
}

int list_calls() {
    for (const Call& c : calls()) std::printf("%-34s %s\n", c.name.c_str(), c.args.c_str());
    return kExitOk;
}

struct CaptureOptions {
    std::string out;
    std::string wav;
    std::string bytes;
    std::string seconds;
    uint32_t rate = 48000;
    bool i2s = false;
};

constexpr const char* kStdout = "-";

// Lines of dirovctl's own on stderr (standard output may carry the capture).
void note(const std::string& line) {
    if (verbosity() != Verbosity::Quiet) std::fprintf(stderr, "%s\n", line.c_str());
}

std::string os_error(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

// The WAV file is written after the capture: its folder must take it now.
std::string check_wav_path(const std::string& wav) {
    std::filesystem::path parent = std::filesystem::path(wav).parent_path();
    if (access(parent.empty() ? "." : parent.c_str(), W_OK | X_OK) != 0)
        return os_error("write", wav);
    std::error_code ec;
    if (std::filesystem::is_directory(wav, ec)) return "cannot write " + wav + ": " + std::strerror(EISDIR);
    return "";
}

// The raw output, made before the board is touched; standard output for "-".
class RawOutput {
   public:
    std::string open(const std::string& path) {
        path_ = path;
        if (path == kStdout) {
            fd_ = STDOUT_FILENO;
            return "";
        }
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        return fd_ < 0 ? os_error("create", path) : "";
    }
    // Closed; "" or what went wrong.
    std::string close() {
        if (fd_ <= STDOUT_FILENO) return "";
        int r = ::close(fd_);
        fd_ = -1;
        return r == 0 ? "" : os_error("write", path_);
    }
    // Nothing was captured into it: it goes.
    void discard() {
        bool owned = fd_ > STDOUT_FILENO;
        close();
        if (owned) std::remove(path_.c_str());
    }
    ~RawOutput() { close(); }
    int fd() const { return fd_; }
    std::string name() const { return path_ == kStdout ? "standard output" : path_; }

   private:
    std::string path_;
    int fd_ = -1;
};

CaptureRequest capture_limits(const CaptureOptions& o) {
    CaptureRequest req;
    if (!o.bytes.empty()) req.byteLimit = parse_size(o.bytes, "--bytes");
    if (!o.bytes.empty() && req.byteLimit == 0) throw UsageError("--bytes wants more than 0");
    if (!o.seconds.empty()) req.seconds = parse_seconds(o.seconds, "--seconds");
    return req;
}

void check_capture_paths(const CaptureOptions& o) {
    if (o.wav.empty()) return;
    if (o.out == kStdout) throw UsageError("--wav is made from the raw file: give -o FILE");
    std::error_code ec;
    if (o.wav == o.out || std::filesystem::equivalent(o.wav, o.out, ec))
        throw UsageError("--wav and -o name the same file");
}

int run_capture(const CaptureOptions& o) {
    check_capture_paths(o);
    CaptureRequest req = capture_limits(o);
    RawOutput out;
    std::string err = o.wav.empty() ? "" : check_wav_path(o.wav);
    if (err.empty()) err = out.open(o.out);
    if (!err.empty()) return fail(err);
    req.fd = out.fd();
    req.name = out.name();
    StopOnSignal signals;
    auto h = bring_up(err);
    if (h && o.i2s && (host_port_i2s_init(*h) != 0 || host_port_rx_i2s_dma_enable(*h) != 0))
        err = "cannot enable I2S RX DMA: the board refused I2S:INIT or I2S:DMARXENABLE";
    if (!h || !err.empty()) {
        out.discard();
        return fail(err);
    }
    CaptureResult r = capture_stream(req);
    if (o.i2s) host_port_i2s_dma_disable(*h);
    std::string closed = out.close();
    if (r.error.empty()) r.error = closed;
    note(capture_summary(r, out.name()));
    if (!r.error.empty()) return fail(r.error);
    if (!o.wav.empty()) {
        std::string werr = write_wav(o.out, o.wav, o.rate);
        if (!werr.empty()) return fail(werr);
        note("wrote " + o.wav + " (" + std::to_string(o.rate) + " Hz, 16-bit stereo)");
    }
    return kExitOk;
}

int run_dfu_create(const std::string& elf, const std::string& dfu,
                   const std::vector<std::string>& sections) {
    std::vector<std::string> names;
    std::vector<const char*> ptrs;
    std::vector<uint8_t> ids;
    for (const std::string& s : sections) {
        size_t colon = s.rfind(':');
        if (colon == std::string::npos || colon == 0)
            throw UsageError("--section wants NAME:ID, got " + s);
        names.push_back(s.substr(0, colon));
        ids.push_back(static_cast<uint8_t>(parse_unsigned(s.substr(colon + 1), 0xFF)));
    }
    for (const std::string& n : names) ptrs.push_back(n.c_str());
    int32_t r = dfu_file_create(elf.c_str(), dfu.c_str(), static_cast<uint32_t>(names.size()),
                                names.empty() ? nullptr : ptrs.data(),
                                ids.empty() ? nullptr : ids.data());
    if (r != 0) return fail("cannot make " + dfu + " from " + elf);
    std::printf("wrote %s\n", dfu.c_str());
    return kExitOk;
}

void print_records(const uint8_t* image, uint32_t count) {
    std::printf("%u record(s)\n  %-4s %-10s %s\n", count, "id", "address", "length");
    const uint8_t* p = image;
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t len = static_cast<uint16_t>(p[2] | p[3] << 8);
        uint32_t addr = p[4] | p[5] << 8 | p[6] << 16 | static_cast<uint32_t>(p[7]) << 24;
        std::printf("  %-4u %s %u\n", p[0], hex32(addr).c_str(), len);
        p += DIROV_DFU_RECORD_HEADER + len;
    }
}

int print_suffix(const std::string& path) {
    File f(std::fopen(path.c_str(), "rb"));
    DfuSuffix s;
    if (!f || dfu_file_read_suffix(f.get(), &s) != 0 || dfu_file_verify_suffix(&s) != 0) {
        std::printf("suffix: none\n");
        return kExitOk;
    }
    int32_t check = dfu_file_check_suffix(f.get());
    std::printf("suffix: vendor 0x%04X product 0x%04X device 0x%04X DFU %x.%02x CRC 0x%08X (%s)\n",
                s.idVendor, s.idProduct, s.bcdDevice, s.bcdDFU >> 8, s.bcdDFU & 0xFF, s.dwCRC,
                check == 0 ? "matches" : "does not match");
    return check == 0 ? kExitOk : kExitFailure;
}

int run_dfu_info(const std::string& path) {
    uint8_t* image = nullptr;
    uint32_t count = 0;
    if (dfu_file_read(path.c_str(), &image, &count) != 0)
        return fail("cannot read " + path + " as a DFU file");
    print_records(image, count);
    std::free(image);
    return print_suffix(path);
}

int run_suffix(const std::string& action, const std::string& path, uint16_t vid, uint16_t pid,
               uint16_t release) {
    File f(std::fopen(path.c_str(), action == "check" ? "rb" : "r+b"));
    if (!f) return fail("cannot open " + path);
    int32_t r;
    if (action == "add") {
        DfuSuffix s;
        dfu_file_new_suffix(&s, 0, vid, pid, release);
        r = dfu_file_add_suffix(f.get(), &s);
    } else if (action == "remove") {
        r = dfu_file_remove_suffix(f.get());
    } else {
        r = dfu_file_check_suffix(f.get());
    }
    static const char* meaning[] = {"ok", "I/O error", "bLength is not 16", "no 'UFD' signature",
                                    "bcdDFU is not 0x0100", "", "", "", "CRC does not match"};
    const char* text = r >= 0 && r <= 8 ? meaning[r] : "error";
    std::printf("%s %s: %s (%d)\n", action.c_str(), path.c_str(), text, r);
    return r == 0 ? kExitOk : kExitFailure;
}

int run_upgrade(const std::string& path) {
    if (upgrade_with_progress(path) != 0) return fail("firmware upgrade failed");
    int32_t v = gen_version(_GetWinUsbHandle());
    std::printf("upgrade done; firmware version %s\n",
                v == -1 ? "unknown" : hex32(static_cast<uint32_t>(v)).c_str());
    return kExitOk;
}

}  // namespace
}  // namespace dirovctl

int main(int argc, char** argv) {
    using namespace dirovctl;
    CLI::App app{"dirovctl: drive a dirov410 USB interface board"};
    app.require_subcommand(1);
    bool sim = false;
    app.add_flag("--sim", sim, "Use a simulated board (real-time clock) instead of USB");
    bool verbose = false, quiet = false;
    app.add_flag("-v,--verbose", verbose, "Show the library's diagnostic lines on stderr");
    app.add_flag("-q,--quiet", quiet, "Print only errors: no progress or summaries");
    SimStream simStream;
    app.add_option("--pattern", simStream.pattern, "Simulated stream: counter | i2s | off")
        ->check(CLI::IsMember({"counter", "i2s", "off"}));
    app.add_option("--rate", simStream.rate,
                   "Simulated stream bytes per second (K, M, G); default: counter unpaced, "
                   "I2S at its sample rate");

    app.add_subcommand("list", "List the boards present: face, path, serial");
    app.add_subcommand("info", "Open the interface and show the board's identity");

    std::string text;
    auto* cmd = app.add_subcommand("cmd", "Send one raw command line and show the reply");
    cmd->add_option("text", text, "Command text, e.g. \"SYS:VERSION\"")->required();

    std::string callName;
    std::vector<std::string> callArgs;
    bool listCalls = false;
    auto* call = app.add_subcommand("call", "Call a named board command, e.g. call gpio_read");
    call->add_flag("--list", listCalls, "List the board commands and their arguments");
    call->add_option("name", callName, "Board command name");
    call->add_option("args", callArgs, "Its arguments (decimal, 0x hex; floats for sines)");

    CaptureOptions cap;
    auto* capture = app.add_subcommand(
        "capture", "Stream the board's data to a raw file until stopped (Ctrl-C stops cleanly)");
    capture->add_option("-o,--out", cap.out, "Raw output file; - for standard output")->required();
    capture->add_option("--bytes", cap.bytes, "Stop after this many bytes (K, M, G: 1024^n)");
    capture->add_option("--seconds", cap.seconds, "Stop after this many seconds");
    capture->add_option("--wav", cap.wav, "Also write a WAV file (16-bit stereo I2S samples)");
    capture->add_option("--rate", cap.rate, "WAV sample rate")->check(CLI::Range(1u, 1000000u));
    capture->add_flag("--i2s", cap.i2s, "Enable the I2S host port's RX DMA for the capture");

    auto* dfu = app.add_subcommand("dfu", "DFU files: create, info, suffix");
    dfu->require_subcommand(1);
    std::string elf, dfuPath;
    std::vector<std::string> sections;
    auto* create = dfu->add_subcommand("create", "Make a DFU file from a firmware ELF file");
    create->add_option("elf", elf, "Firmware ELF file")->required()->check(CLI::ExistingFile);
    create->add_option("dfu", dfuPath, "DFU file to write")->required();
    create->add_option("--section", sections, "NAME:ID, repeatable (default: the patch sections)");
    auto* info = dfu->add_subcommand("info", "Show a DFU file's records and suffix");
    info->add_option("dfu", dfuPath, "DFU file")->required()->check(CLI::ExistingFile);
    auto* suffix = dfu->add_subcommand("suffix", "Add, check or remove a DFU 1.1 suffix");
    std::string action;
    uint16_t vid = 0x1D50, pid = 0x6410, release = 0xFFFF;
    suffix->add_option("action", action, "add | check | remove")
        ->required()
        ->check(CLI::IsMember({"add", "check", "remove"}));
    suffix->add_option("dfu", dfuPath, "DFU file")->required()->check(CLI::ExistingFile);
    suffix->add_option("--vid", vid, "Vendor id (add)");
    suffix->add_option("--pid", pid, "Product id (add)");
    suffix->add_option("--release", release, "Device release (add)");

    std::string upgradePath;
    auto* upgrade = app.add_subcommand("upgrade", "Upgrade the board's firmware from a DFU file");
    upgrade->add_option("dfu", upgradePath, "DFU file")->required()->check(CLI::ExistingFile);

    TourOptions tourOpts;
    auto* tour = app.add_subcommand("tour", "A guided tour of a simulated board (use --sim)");
    tour->add_option("--dir", tourOpts.dir, "Folder for the files the tour writes");
    tour->add_option("--elf", tourOpts.elf, "Sample firmware ELF to upgrade to");

    SimulatedBoard simBoard;
    try {
        app.parse(argc, argv);
        if (verbose && quiet) throw UsageError("-v and -q exclude each other");
        if (simStream.given() && !sim) throw UsageError("--pattern and --rate need --sim");
        route_library_log(verbose ? Verbosity::Verbose
                          : quiet ? Verbosity::Quiet
                                  : Verbosity::Normal);
        if (sim) simBoard.attach(simStream);
        if (app.got_subcommand("list")) return run_list();
        if (app.got_subcommand("info")) return run_info();
        if (*cmd) return run_cmd(text);
        if (*call) {
            if (listCalls) return list_calls();
            if (callName.empty()) throw UsageError("call needs a board command name");
            return run_call(callName, callArgs);
        }
        if (*capture) return run_capture(cap);
        if (*create) return run_dfu_create(elf, dfuPath, sections);
        if (*info) return run_dfu_info(dfuPath);
        if (*suffix) return run_suffix(action, dfuPath, vid, pid, release);
        if (*upgrade) return run_upgrade(upgradePath);
        if (*tour) {
            if (!sim) throw UsageError("the tour runs on a simulated board: dirovctl --sim tour");
            return run_tour(tourOpts);
        }
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "dirovctl: %s\n", e.what());
        return kExitUsage;
    }
    return kExitUsage;
}
