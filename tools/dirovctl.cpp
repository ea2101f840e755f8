// dirovctl: drives a dirov410 board from the command line, through the
// library's exported API only.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dfu/dfu_record.h"
#include "dirov410.h"
#include "dirov410_sim.h"
#include "dirov_version.h"
#include "platform/file_ops.h"
#include "tools/board.h"
#include "tools/calls.h"
#include "tools/capture.h"
#include "tools/log.h"
#include "tools/stop.h"
#include "tools/tour.h"
#include "tools/wav.h"

namespace dirovctl {
namespace {

using File = dirov::files::UniqueFile;

// --pattern and --rate: what the simulated board streams, and how fast.
struct SimStream {
    std::string pattern;
    std::string rate;
    bool silent = false;  // commands go unanswered
    bool given() const { return !pattern.empty() || !rate.empty() || silent; }
};

// The rate is parsed before any board is attached, so a bad value touches
// nothing.
void configure_stream(dirov_sim_board* board, const SimStream& s, uint64_t rate) {
    if (s.silent) dirov_sim_set_firmware_replies(board, 0);
    if (!s.rate.empty()) dirov_sim_stream_set_rate(board, rate);
    if (s.pattern.empty()) return;
    dirov_sim_stream_set_pattern(board, s.pattern == "counter" ? DIROV_SIM_STREAM_COUNTER
                                        : s.pattern == "i2s"   ? DIROV_SIM_STREAM_I2S_SINES
                                                               : DIROV_SIM_STREAM_OFF);
}

// Simulated boards for the life of the process, serials DRV410-0001,
// DRV410-0002, ...; every board is closed and detached on every way out.
class SimulatedBoards {
   public:
    void attach(int count, const SimStream& stream) {
        const uint64_t rate = stream.rate.empty() ? 0 : parse_size(stream.rate, "--rate");
        for (int i = 1; i <= count; ++i) {
            char serial[32];
            std::snprintf(serial, sizeof serial, "DRV410-%04d", i);
            dirov_sim_config cfg;
            dirov_sim_config_init(&cfg);
            cfg.face = DIROV_SIM_FACE_BOOTLOADER;  // as after power-up
            cfg.reenumerate_ms = 50;
            cfg.serial = serial;  // the board keeps its own copy
            dirov_sim_board* board = dirov_sim_attach(&cfg);
            if (board) configure_stream(board, stream, rate);
            boards_.push_back(board);
        }
    }
    ~SimulatedBoards() {
        CloseDevice(&DeviceData);
        for (dirov_sim_board* b : boards_) dirov_sim_detach(b);
    }

   private:
    std::vector<dirov_sim_board*> boards_;
};

// A JSON string literal.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// ": NAME: sentence" of the library's last error code, "" for none.
std::string why() {
    uint32_t code = dirov_get_last_error();
    return code ? std::string(": ") + dirov_strerror(code) : "";
}

// Four lower-case hex digits, as lsusb and udev write USB ids.
std::string hex4(uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v);
    return buf;
}

const char* json_bool(bool b) {
    return b ? "true" : "false";
}

// USB ids as USB tools print them: hexadecimal, with or without 0x.
uint16_t parse_usb_id(const std::string& text) {
    std::string digits =
        text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 4 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw UsageError("not a USB id (up to four hex digits): " + text);
    return static_cast<uint16_t>(std::stoul(digits, nullptr, 16));
}

struct Face {
    const char* name;
    const GUID* guid;
};
// The main firmware's interface, and the DFU interface that the bootloader
// shows (and the main firmware too, when it offers run-time DFU).
const Face kFaces[] = {{"main", &GUID_DEVINTERFACE_HX4104}, {"dfu", &GUID_DFU_MAIN_INTERFACE}};

std::vector<dirov_device_info> list_interfaces(const GUID* guid) {
    int32_t n = dirov_list_devices(guid, nullptr, 0);
    if (n <= 0) return {};
    std::vector<dirov_device_info> v(static_cast<size_t>(n));
    n = dirov_list_devices(guid, v.data(), n);  // boards may come or go in between
    v.resize(n < 0 ? 0 : std::min(v.size(), static_cast<size_t>(n)));
    return v;
}

struct ListedBoard {
    const Face* face;
    dirov_device_info info;
};

void note(const std::string& line);

int run_list(const std::string& serial, bool json) {
    std::vector<ListedBoard> rows;
    for (const Face& f : kFaces)
        for (const dirov_device_info& d : list_interfaces(f.guid))
            if (serial.empty() || serial == d.serial) rows.push_back({&f, d});
    if (json) std::printf("{\"boards\": [");
    for (size_t i = 0; i < rows.size(); ++i) {
        const dirov_device_info& d = rows[i].info;
        if (json)
            std::printf(
                "%s{\"face\": \"%s\", \"serial\": %s, \"vendor_id\": \"%s\", "
                "\"product_id\": \"%s\", \"path\": %s}",
                i ? ", " : "", rows[i].face->name, quoted(d.serial).c_str(),
                hex4(d.vendor_id).c_str(), hex4(d.product_id).c_str(), quoted(d.path).c_str());
        else
            std::printf("%-5s %-16s %s:%s  %s\n", rows[i].face->name, d.serial[0] ? d.serial : "-",
                        hex4(d.vendor_id).c_str(), hex4(d.product_id).c_str(), d.path);
    }
    if (json) std::printf("]}\n");
    if (rows.empty()) note("no board found");
    return kExitOk;
}

const char* state_name(int32_t state) {
    static const char* names[] = {"not connected", "bootloader", "main firmware"};
    return state >= 0 && state <= 2 ? names[state] : "?";
}

void print_info_json(const ItfOpenResult& r, const std::string& serial, int32_t version) {
    bool main = r.ConnState == 2;
    std::printf(
        "{\"connection\": \"%s\", \"state\": %d, \"bootloader_version\": \"%s\", "
        "\"firmware_valid\": %s, \"serial\": %s, \"firmware_version\": %s}\n",
        state_name(r.ConnState), r.ConnState, hex32(r.BootloaderVersion).c_str(),
        json_bool(r.FirmwareValid), main ? quoted(serial).c_str() : "null",
        main && version != -1 ? quoted(hex32(static_cast<uint32_t>(version))).c_str() : "null");
}

// The open board's serial, asked through its handle.
std::string open_board_serial() {
    for (const dirov_device_info& d : list_interfaces(&GUID_DEVINTERFACE_HX4104))
        if (std::string(d.path) == DeviceData.DevicePath) return d.serial;
    return "";
}

int run_info(bool json) {
    ItfOpenResult r = Hx410DItfOpen();
    bool found = !(r.ConnState == 0 && r.BootloaderVersion == 0);
    std::string serial = r.ConnState == 2 ? open_board_serial() : "";
    int32_t v = r.ConnState == 2 ? gen_version(_GetWinUsbHandle()) : -1;
    if (json) {
        print_info_json(r, serial, v);
    } else {
        std::printf("connection:         %s (%d)\n", state_name(r.ConnState), r.ConnState);
        if (found) {
            std::printf("bootloader version: %s\n", hex32(r.BootloaderVersion).c_str());
            std::printf("firmware valid:     %s\n", r.FirmwareValid ? "yes" : "no");
        }
        if (r.ConnState == 2) std::printf("serial number:      %s\n", serial.c_str());
        if (r.ConnState == 2 && v != -1)
            std::printf("firmware version:   %s\n", hex32(static_cast<uint32_t>(v)).c_str());
    }
    if (!found) return fail("no board found");
    if (r.ConnState == 2 && v == -1) return fail("cannot read the firmware version");
    return kExitOk;
}

// The reply decoded: its value, bytes or status text.
void print_reply_json(const CommandReply* r) {
    std::string value = "null", bytes = "null", status = "null";
    if (std::strcmp(r->Type, "CSTAT") == 0) {
        status = quoted(r->Error);
    } else if (r->DataLength) {
        bytes = "\"";
        for (int i = 0; i < r->DataLength; ++i) bytes += hex4(r->Data[i]).substr(2);
        bytes += "\"";
    } else if (r->Data) {
        int32_t v;
        std::memcpy(&v, r->Data, sizeof v);
        value = std::to_string(v);
    }
    std::printf("{\"command\": %s, \"type\": %s, \"value\": %s, \"bytes\": %s, \"status\": %s}\n",
                quoted(r->Command).c_str(), quoted(r->Type).c_str(), value.c_str(), bytes.c_str(),
                status.c_str());
}

int run_cmd(const std::string& text, bool json) {
    std::string err;
    auto h = bring_up(err);
    if (!h) return fail(err);
    std::string line = text;
    if (line.empty() || line.back() != '\n') line += '\n';
    CommandReply* r = usb_comms(*h, line.c_str(), 0, nullptr);
    if (!r) return fail("command exchange failed" + why());
    if (json)
        print_reply_json(r);
    else
        print_struct(r);
    std::string refusal = dirov_get_last_refusal();
    std::free(r->Data);
    std::free(r);
    return refusal.empty() ? kExitOk : fail("the board refused " + refusal);
}

struct CallLine {
    const Call* call;
    std::vector<std::string> args;
    std::string where;  // "" on the command line, else "FILE:LINE: "
};

CallLine check_call(std::vector<std::string> words, const std::string& where) {
    const Call* c = find_call(words[0]);
    if (!c) throw UsageError(where + "unknown board command: " + words[0] + " (see 'call --list')");
    words.erase(words.begin());
    if (words.size() != c->arity)
        throw UsageError(where + c->name + " takes " + std::to_string(c->arity) +
                         " argument(s): " + c->args);
    try {
        c->run(nullptr, words);  // usage errors before the board is touched
    } catch (const UsageError& e) {
        throw UsageError(where + e.what());
    }
    return {c, words, where};
}

// The calls of a file ("-": standard input), one per line.
std::vector<CallLine> read_calls(const std::string& path) {
    std::ifstream file;
    if (path != "-") {
        file.open(path);
        if (!file) throw UsageError("cannot read " + path + ": " + std::strerror(errno));
    }
    std::istream& in = path == "-" ? std::cin : file;
    std::vector<CallLine> out;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n)
        if (std::vector<std::string> words = split_words(line); !words.empty())
            out.push_back(check_call(words, path + ":" + std::to_string(n) + ": "));
    return out;
}

int run_call(const std::string& name, const std::vector<std::string>& args, const std::string& file,
             bool json) {
    std::vector<CallLine> todo;
    if (!file.empty()) {
        if (!name.empty()) throw UsageError("call takes a command name or --file, not both");
        todo = read_calls(file);
    } else {
        std::vector<std::string> words{name};
        words.insert(words.end(), args.begin(), args.end());
        todo.push_back(check_call(words, ""));
    }
    std::string err;
    auto h = bring_up(err);
    if (!h) return fail(err);
    set_json_output(json);
    for (const CallLine& c : todo) {
        int32_t r = c.call->run(*h, c.args);
        std::fflush(stdout);
        std::string refusal = dirov_get_last_refusal();
        if (!refusal.empty()) return fail(c.where + "the board refused " + refusal);
        if (r == -1) return fail(c.where + c.call->name + " failed" + why());
    }
    return kExitOk;
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
    uint32_t wav_rate = 48000;
    bool i2s = false;
    bool json = false;
};

constexpr const char* kStdout = "-";

// Lines of dirovctl's own on stderr (standard output may carry the capture).
void note(const std::string& line) {
    if (verbosity() != Verbosity::kQuiet) std::fprintf(stderr, "%s\n", line.c_str());
}

std::string os_error(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

// The WAV file is written after the capture: its folder must take it now.
std::string check_wav_path(const std::string& wav) {
    std::filesystem::path parent = std::filesystem::path(wav).parent_path();
    if (access(parent.empty() ? "." : parent.string().c_str(), W_OK | X_OK) != 0)
        return os_error("write", wav);
    std::error_code ec;
    if (std::filesystem::is_directory(wav, ec))
        return "cannot write " + wav + ": " + std::strerror(EISDIR);
    return "";
}

// The raw output. Its path is checked before the board is sought, but the
// file is opened (an existing one truncated) only once the board is up;
// standard output for "-". Only a regular file this run created is ever
// removed, and only when nothing was written to it.
class RawOutput {
   public:
    // "" when the path can be written; checks only, touches nothing.
    std::string check(const std::string& path) {
        path_ = path;
        if (path == kStdout) return "";
        std::error_code ec;
        if (std::filesystem::exists(path, ec))
            return access(path.c_str(), W_OK) == 0 ? "" : os_error("write", path);
        std::filesystem::path parent = std::filesystem::path(path).parent_path();
        return access(parent.empty() ? "." : parent.string().c_str(), W_OK | X_OK) == 0
                   ? ""
                   : os_error("create", path);
    }
    std::string open() {
        if (path_ == kStdout) {
            make_stdout_binary();
            fd_ = STDOUT_FILENO;
            return "";
        }
        struct stat st {};
        bool exists = ::stat(path_.c_str(), &st) == 0;
        // A FIFO or a device is written as it is: never truncated or created.
        int flags = O_WRONLY | O_CLOEXEC |
                    (!exists               ? O_CREAT | O_EXCL
                     : S_ISREG(st.st_mode) ? O_TRUNC
                                           : 0);
        fd_ = ::open(path_.c_str(), flags, 0666);
        created_ = fd_ >= 0 && !exists;
        return fd_ < 0 ? os_error(exists ? "write" : "create", path_) : "";
    }
    // Closed; "" or what went wrong.
    std::string close() {
        if (fd_ <= STDOUT_FILENO) return "";
        int r = ::close(fd_);
        fd_ = -1;
        return r == 0 ? "" : os_error("write", path_);
    }
    // Nothing was captured into it: a file this run made goes.
    void discard() {
        close();
        struct stat st {};
        if (created_ && ::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
            std::remove(path_.c_str());
        created_ = false;
    }
    ~RawOutput() { close(); }
    int fd() const { return fd_; }
    bool is_stdout() const { return path_ == kStdout; }
    std::string name() const { return path_ == kStdout ? "standard output" : path_; }

   private:
    std::string path_;
    int fd_ = -1;
    bool created_ = false;
};

CaptureRequest capture_limits(const CaptureOptions& o) {
    CaptureRequest req;
    if (!o.bytes.empty()) req.byteLimit = parse_size(o.bytes, "--bytes");
    if (!o.bytes.empty() && req.byteLimit == 0) throw UsageError("--bytes wants more than 0");
    if (!o.seconds.empty()) req.seconds = parse_seconds(o.seconds, "--seconds");
    return req;
}

void check_capture_paths(const CaptureOptions& o) {
    if (o.json && o.out == kStdout)
        throw UsageError("--json prints on standard output, which -o - gives the stream");
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
    if (err.empty()) err = out.check(o.out);
    if (!err.empty()) return fail(err);
    StopOnSignal signals;
    auto h = bring_up(err);
    if (h && o.i2s && (host_port_i2s_init(*h) != 0 || host_port_rx_i2s_dma_enable(*h) != 0))
        err = "cannot enable I2S RX DMA: the board refused I2S:INIT or I2S:DMARXENABLE";
    if (h && err.empty()) err = out.open();
    if (!h || !err.empty()) {
        if (h && o.i2s) host_port_i2s_dma_disable(*h);
        return fail(err);
    }
    req.fd = out.fd();
    req.name = out.name();
    if (o.i2s) req.stream_off = [&] { host_port_i2s_dma_disable(*h); };
    CaptureResult r = capture_stream(req);
    if (r.written == 0 && r.reason != StopReason::kWriteError) out.discard();
    std::string closed = out.close();
    if (r.error.empty()) r.error = closed;
    // A reader that stopped reading (| head) took what it wanted.
    if (r.closed_pipe && !o.json) return kExitOk;
    note(capture_summary(r, out.name()));
    std::string werr;
    if (r.error.empty() && !o.wav.empty()) werr = write_wav(o.out, o.wav, o.wav_rate);
    if (o.json)
        std::printf("{%s, \"wav\": %s, \"error\": %s}\n",
                    capture_json_members(r, quoted(out.name())).c_str(),
                    o.wav.empty() || !werr.empty() ? "null" : quoted(o.wav).c_str(),
                    r.error.empty() && werr.empty() ? "null" : quoted(r.error + werr).c_str());
    if (!r.error.empty()) return fail(r.error);
    if (!werr.empty()) return fail(werr);
    if (!o.wav.empty())
        note("wrote " + o.wav + " (" + std::to_string(o.wav_rate) + " Hz, 16-bit stereo)");
    return kExitOk;
}

int run_dfu_create(const std::string& elf, const std::string& dfu,
                   const std::vector<std::string>& sections) {
    std::error_code ec;
    if (std::filesystem::equivalent(elf, dfu, ec))
        throw UsageError("the DFU file would replace its input " + elf);
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
    int32_t r =
        dfu_file_create(elf.c_str(), dfu.c_str(), static_cast<uint32_t>(names.size()),
                        names.empty() ? nullptr : ptrs.data(), ids.empty() ? nullptr : ids.data());
    if (r != 0) return fail("cannot make " + dfu + " from " + elf);
    if (verbosity() != Verbosity::kQuiet) std::printf("wrote %s\n", dfu.c_str());
    return kExitOk;
}

using Record = dirov::dfu::RecordHeader;

std::vector<Record> records(const uint8_t* image, uint32_t count) {
    std::vector<Record> out;
    const uint8_t* p = image;
    for (uint32_t i = 0; i < count; ++i) {
        out.push_back(dirov::dfu::read_record_header(p));
        p += dirov::dfu::record_size(p);
    }
    return out;
}

// Opens only a regular file: a FIFO or a device would block or never end.
File open_regular_file(const std::string& path, const char* mode) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        errno = ec ? ec.value() : ENODEV;  // exists, but is no regular file
        return File(nullptr);
    }
    return File(std::fopen(path.c_str(), mode));
}

// The file's DFU suffix, when it ends in a well-formed one.
std::optional<DfuSuffix> read_suffix(const std::string& path, bool* crc_matches) {
    File f = open_regular_file(path, "rb");
    DfuSuffix s;
    if (!f || dfu_file_read_suffix(f.get(), &s) != 0 || dfu_file_verify_suffix(&s) != 0)
        return std::nullopt;
    if (crc_matches) *crc_matches = dfu_file_check_suffix(f.get()) == 0;
    return s;
}

void print_dfu_text(const std::vector<Record>& recs, const std::optional<DfuSuffix>& s, bool crc) {
    std::printf("%zu record(s)\n  %-4s %-10s %s\n", recs.size(), "id", "address", "length");
    for (const Record& r : recs)
        std::printf("  %-4u %s %u\n", r.id, hex32(r.address).c_str(), r.length);
    if (!s) {
        std::printf("suffix: none\n");
        return;
    }
    std::printf("suffix: vendor 0x%04X product 0x%04X device 0x%04X DFU %x.%02x CRC 0x%08X (%s)\n",
                s->idVendor, s->idProduct, s->bcdDevice, s->bcdDFU >> 8, s->bcdDFU & 0xFF, s->dwCRC,
                crc ? "matches" : "does not match");
}

void print_dfu_json(const std::vector<Record>& recs, const std::optional<DfuSuffix>& s, bool crc) {
    std::printf("{\"records\": [");
    for (size_t i = 0; i < recs.size(); ++i)
        std::printf("%s{\"id\": %u, \"address\": \"%s\", \"length\": %u}", i ? ", " : "",
                    recs[i].id, hex32(recs[i].address).c_str(), recs[i].length);
    std::printf("], \"suffix\": ");
    if (s)
        std::printf(
            "{\"vendor_id\": \"%s\", \"product_id\": \"%s\", \"device_release\": "
            "\"%s\", \"bcd_dfu\": \"%s\", \"crc\": \"%s\", \"crc_matches\": %s}}\n",
            hex4(s->idVendor).c_str(), hex4(s->idProduct).c_str(), hex4(s->bcdDevice).c_str(),
            hex4(s->bcdDFU).c_str(), hex32(s->dwCRC).c_str(), json_bool(crc));
    else
        std::printf("null}\n");
}

int run_dfu_info(const std::string& path, bool json) {
    uint8_t* image = nullptr;
    uint32_t count = 0;
    if (dfu_file_read(path.c_str(), &image, &count) != 0) {
        char magic[4] = {};
        File f = open_regular_file(path, "rb");
        if (f && std::fread(magic, 1, 4, f.get()) == 4 &&
            std::memcmp(magic,
                        "\x7f"
                        "ELF",
                        4) == 0)
            return fail(path +
                        " is an ELF file, not a DFU file: make one with 'dirovctl dfu create " +
                        path + " FILE.dfu'");
        return fail("cannot read " + path + " as a DFU file");
    }
    std::vector<Record> recs = records(image, count);
    std::free(image);
    bool crc = false;
    std::optional<DfuSuffix> s = read_suffix(path, &crc);
    if (json)
        print_dfu_json(recs, s, crc);
    else
        print_dfu_text(recs, s, crc);
    return !s || crc ? kExitOk : kExitFailure;
}

int run_suffix(const std::string& action, const std::string& path, const std::string& vid_text,
               const std::string& pid_text, const std::string& release_text) {
    uint16_t vid = parse_usb_id(vid_text), pid = parse_usb_id(pid_text);
    uint16_t release = parse_usb_id(release_text);
    File f = open_regular_file(path, action == "check" ? "rb" : "r+b");
    if (!f)
        return fail("cannot open " + path + ": " +
                    (errno == ENODEV ? "not a regular file" : std::strerror(errno)));
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
    static const char* meaning[] = {"ok",
                                    "I/O error",
                                    "bLength is not 16",
                                    "no 'UFD' signature",
                                    "bcdDFU is not 0x0100",
                                    "",
                                    "",
                                    "",
                                    "CRC does not match",
                                    "the file already ends with a suffix"};
    const char* text = r >= 0 && r <= 9 ? meaning[r] : "error";
    if (r != 0 || verbosity() != Verbosity::kQuiet)
        std::printf("%s %s: %s (%d)\n", action.c_str(), path.c_str(), text, r);
    return r == 0 ? kExitOk : kExitFailure;
}

// DFU 1.1: 0xFFFF in the suffix matches any id.
bool id_matches(uint16_t wanted, uint16_t id) {
    return wanted == 0xFFFF || wanted == id;
}

// Why the file's suffix says it is for another board; "" when it fits, or
// when there is no suffix or no board to compare with.
std::string suffix_mismatch(const std::string& path) {
    std::optional<DfuSuffix> s = read_suffix(path, nullptr);
    char dfuPath[DIROV_MAX_PATH];
    BOOL none = 0;
    // The upgrade starts on the DFU interface: compare with the board behind it.
    if (!s || RetrieveDevicePath(dfuPath, sizeof dfuPath, &none, &GUID_DFU_MAIN_INTERFACE) < 0)
        return "";
    for (const dirov_device_info& d : list_interfaces(&GUID_DFU_MAIN_INTERFACE)) {
        if (std::string(d.path) != dfuPath) continue;
        if (id_matches(s->idVendor, d.vendor_id) && id_matches(s->idProduct, d.product_id))
            return "";
        return path + " is for " + hex4(s->idVendor) + ":" + hex4(s->idProduct) +
               ", the board is " + hex4(d.vendor_id) + ":" + hex4(d.product_id) +
               " (--force upgrades anyway)";
    }
    return "";
}

int run_upgrade(const std::string& path, bool force) {
    std::string mismatch = force ? "" : suffix_mismatch(path);
    if (!mismatch.empty()) return fail(mismatch);
    if (upgrade_with_progress(path) != 0) return fail("firmware upgrade failed");
    int32_t v = gen_version(_GetWinUsbHandle());
    if (verbosity() != Verbosity::kQuiet)
        std::printf("upgrade done; firmware version %s\n",
                    v == -1 ? "unknown" : hex32(static_cast<uint32_t>(v)).c_str());
    return kExitOk;
}

constexpr uint32_t kDefaultTimeoutMs = 5000;

void apply_timeout(const std::string& text) {
    if (text.empty()) {
        if (!std::getenv("DIROV410_TIMEOUT")) dirov_set_timeout(kDefaultTimeoutMs);
        return;
    }
    double seconds = text == "0" ? 0 : parse_seconds(text, "--timeout");
    if (seconds * 1000 > 0x7FFFFFFF) throw UsageError("--timeout is at most 2147483 s");
    dirov_set_timeout(static_cast<uint32_t>(seconds * 1000 + 0.5));
}

}  // namespace
}  // namespace dirovctl

int main(int argc, char** argv) {
    using namespace dirovctl;
    CLI::App app{"dirovctl: drive a dirov410 USB interface board"};
    app.require_subcommand(0, 1);  // a missing or unknown command is reported below
    app.fallthrough();             // global options may follow the command too
    app.set_version_flag("--version", std::string("dirovctl ") + DIROV_VERSION_TEXT +
                                          "\nlibdirov410 " + dirov_version());
    int sim_boards = 0;
    app.add_option("--sim,--sim-boards", sim_boards,
                   "Use N simulated boards (default 1; real-time clock) instead of USB")
        ->expected(0, 1)
        ->default_str("1")
        ->check(CLI::Range(1, 99));
    std::string serial;
    app.add_option("--serial", serial,
                   "Use the board with this serial number (default: $DIROV410_DEVICE, else the "
                   "first board found)");
    bool json = false;
    bool verbose = false, quiet = false;
    app.add_flag("-v,--verbose", verbose, "Show the library's diagnostic lines on stderr");
    app.add_flag("-q,--quiet", quiet,
                 "Print only errors and the data asked for: no progress, summaries, warnings or "
                 "confirmations");
    std::string timeout_text;
    app.add_option("--timeout", timeout_text,
                   "Seconds a command or DFU request may take before it fails with \"semaphore "
                   "timeout\" (default 5, or DIROV410_TIMEOUT in ms when set; 0: wait for ever)");
    SimStream sim_stream;
    app.add_flag("--sim-silent", sim_stream.silent,
                 "Simulated boards leave commands unanswered (to try --timeout)");
    app.add_option("--pattern", sim_stream.pattern, "Simulated stream: counter | i2s | off")
        ->check(CLI::IsMember({"counter", "i2s", "off"}));
    app.add_option("--rate", sim_stream.rate,
                   "Simulated stream bytes per second (K, M, G); default: counter unpaced, "
                   "I2S at its sample rate");

    auto* list =
        app.add_subcommand("list", "List every board present: face, serial, VID:PID, path");
    list->add_flag("--json", json, "One JSON document on stdout");
    auto* board_info =
        app.add_subcommand("info", "Open the interface and show the board's identity");
    board_info->add_flag("--json", json, "One JSON document on stdout");

    std::string text;
    auto* cmd = app.add_subcommand("cmd", "Send one raw command line and show the reply");
    cmd->add_option("text", text, "Command text, e.g. \"SYS:VERSION\"")->required();
    cmd->add_flag("--json", json,
                  "The reply decoded as one JSON object: command, type, value (a value reply), "
                  "bytes (hex, a counted reply), status (a CSTAT reply)");

    std::string call_name;
    std::vector<std::string> call_args;
    bool list_wanted = false;
    auto* call = app.add_subcommand("call", "Call a named board command, e.g. call gpio_read");
    call->add_flag("--list", list_wanted, "List the board commands and their arguments");
    call->add_option("name", call_name, "Board command name");
    call->add_option("args", call_args, "Its arguments (decimal, 0x hex; floats for sines)");
    std::string call_file;
    call->add_option("--file", call_file,
                     "Run the calls of this file (- for standard input), one 'name args' a line, "
                     "'#' comments, on one board in one run; every line is checked before the "
                     "board is touched, and the first failure stops the run");
    call->add_flag("--json", json,
                   "One JSON object per call, a line each: call, ok, and value (or bytes)");
    call->footer(calls_help());

    CaptureOptions cap;
    auto* capture = app.add_subcommand(
        "capture",
        "Stream the board's data to a raw file until stopped. --bytes, --seconds or the first "
        "Ctrl-C/SIGTERM stops the capture at once, however slow the output; what was captured "
        "before the stop is then written (said on stderr with its amount), and a second Ctrl-C "
        "stops at once, leaving what was written. An existing output is untouched until a board "
        "is up; only a file this run created is removed, when nothing reached it; a FIFO or "
        "device is written, never removed. A reader of -o - that leaves early (| head) ends the "
        "capture quietly (exit 0); another write error (a full disk) ends it with the reason "
        "(exit 1). A capture that ends by itself (board unplugged, failed read) says \"the board "
        "was disconnected\".");
    capture->add_option("-o,--out", cap.out, "Raw output file; - for standard output")->required();
    capture->add_option("--bytes", cap.bytes,
                        "Stop after this many bytes (K, M, G, either case: 1024^n)");
    capture->add_option("--seconds", cap.seconds, "Stop after this many seconds");
    capture->add_option("--wav", cap.wav, "Also write a WAV file (16-bit stereo I2S samples)");
    capture->add_option("--wav-rate", cap.wav_rate, "The WAV file's sample rate (default 48000)")
        ->check(CLI::Range(1u, 1000000u));
    capture->add_flag("--i2s", cap.i2s, "Enable the I2S host port's RX DMA for the capture");
    capture->add_flag("--json", cap.json, "The summary as one JSON document on stdout");

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
    info->add_flag("--json", json, "One JSON document on stdout");
    auto* suffix = dfu->add_subcommand("suffix", "Add, check or remove a DFU 1.1 suffix");
    std::string action;
    std::string vid = "1d50", pid = "6410";
    std::string release = "ffff";
    suffix->add_option("action", action, "add | check | remove")
        ->required()
        ->check(CLI::IsMember({"add", "check", "remove"}));
    suffix->add_option("dfu", dfuPath, "DFU file")->required()->check(CLI::ExistingFile);
    suffix->add_option("--vid", vid, "Vendor id, hex (add)");
    suffix->add_option("--pid", pid, "Product id, hex (add)");
    suffix->add_option("--release", release, "Device release, hex BCD (add; default ffff: any)");

    std::string upgrade_path;
    auto* upgrade = app.add_subcommand("upgrade", "Upgrade the board's firmware from a DFU file");
    upgrade->add_option("dfu", upgrade_path, "DFU file")->required()->check(CLI::ExistingFile);
    bool force = false;
    upgrade->add_flag("--force", force, "Upgrade even when the file's suffix names other USB ids");

    TourOptions tour_opts;
    auto* tour = app.add_subcommand("tour", "A guided tour of a simulated board (use --sim)");
    tour->add_option("--dir", tour_opts.dir, "Folder for the files the tour writes");
    tour->add_option("--elf", tour_opts.elf, "Sample firmware ELF to upgrade to");

    SimulatedBoards simulated;
    try {
        app.parse(argc, argv);
        if (app.get_subcommands().empty()) throw UsageError("a command is required (see --help)");
        if (verbose && quiet) throw UsageError("-v and -q exclude each other");
        if (sim_stream.given() && sim_boards == 0)
            throw UsageError("--pattern, --rate and --sim-silent need --sim");
        route_library_log(verbose ? Verbosity::kVerbose
                          : quiet ? Verbosity::kQuiet
                                  : Verbosity::kNormal);
        apply_timeout(timeout_text);
        simulated.attach(sim_boards, sim_stream);
        if (!serial.empty() && dirov_select_device(serial.c_str()) != 0)
            throw UsageError("a serial number has at most 127 bytes");
        if (*list) return run_list(serial, json);
        if (*board_info) return run_info(json);
        if (*cmd) return run_cmd(text, json);
        if (*call) {
            if (list_wanted) return list_calls();
            if (call_name.empty() && call_file.empty())
                throw UsageError("call needs a board command name or --file");
            return run_call(call_name, call_args, call_file, json);
        }
        if (*capture) return run_capture(cap);
        if (*create) return run_dfu_create(elf, dfuPath, sections);
        if (*info) return run_dfu_info(dfuPath, json);
        if (*suffix) return run_suffix(action, dfuPath, vid, pid, release);
        if (*upgrade) return run_upgrade(upgrade_path, force);
        if (*tour) {
            if (sim_boards == 0)
                throw UsageError("the tour runs on a simulated board: dirovctl --sim tour");
            return run_tour(tour_opts);
        }
    } catch (const CLI::ParseError& e) {
        bool unknown_command = dynamic_cast<const CLI::ExtrasError*>(&e) &&
                               app.get_subcommands().empty() && !app.remaining().empty();
        if (unknown_command) {
            std::fprintf(stderr, "dirovctl: unknown command '%s' (see --help)\n",
                         app.remaining().front().c_str());
            return kExitUsage;
        }
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "dirovctl: %s\n", e.what());
        return kExitUsage;
    }
    return kExitUsage;
}
