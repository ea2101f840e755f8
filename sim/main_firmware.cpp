// The main firmware's text protocol: every command on pipe 0x01 is answered
// on pipe 0x81 by an acknowledgement and then the reply, as two transfers.
// Commands come from a table: each entry names its fields, which are parsed
// and range-checked before its handler runs, so handlers see only sound
// values. Whatever cannot be parsed gets a "CSTAT" reply, never silence.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "dirov410_sim.h"
#include "sim/board.h"

namespace dirov::sim {
namespace {

constexpr uint8_t kCommandOut = 0x01;
constexpr uint8_t kReplyIn = 0x81;
constexpr size_t kMaxFields = 5;
constexpr uint32_t kMaxStream = 255;
constexpr size_t kMaxEcho = 64;
constexpr uint16_t kPullUps = 0xFFFF;  // input lines read high
constexpr int kUartPorts = 4;
constexpr uint32_t kSdCardPassed = 0x01;

std::vector<uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

// ---- state ----

struct Bank {
    uint16_t dir = 0;  // bit set: output
    uint16_t latch = 0;
    uint16_t read() const { return (latch & dir) | (kPullUps & ~dir); }
};

struct Uart {
    bool ready = false;
    uint32_t baud = 115200;
    uint32_t data_bits = 8, parity = 0, stop_bits = 1;
    uint32_t sent = 0;
    uint8_t last = 0;
};

struct LoadFi {
    std::string family;
    uint32_t fields[4] = {};
};

struct State {
    std::unordered_map<uint64_t, uint8_t> regs;  // CBUS: one byte space per first field
    uint32_t spi_mode = 0;
    uint32_t spi_baud = 1000000;
    Bank gpio, dio, io;
    uint8_t booten[2] = {};
    bool irqn_enabled = false;
    bool irqn_pending = false;
    bool i2s_ready = false;
    bool tx_dma = false;
    bool rx_dma = false;
    double sine[2][2] = {{1000.0, 0.5}, {1000.0, 0.5}};  // frequency, amplitude
    LoadFi last_load;
    uint32_t loads = 0;
    Uart uart[kUartPorts];
};

// ---- requests and replies ----

struct Request {
    std::string_view word;
    uint32_t x[kMaxFields] = {};
    double f[kMaxFields] = {};
    std::string_view payload;  // the bytes a "#n" field counted
};

struct Reply {
    enum Kind { kStatus, kValue, kCounted } kind = kStatus;
    std::string text;
    uint32_t value = 0;
    std::vector<uint8_t> data;
};

Reply ok() {
    return {Reply::kStatus, "OK", 0, {}};
}
Reply fail(const char* why) {
    return {Reply::kStatus, why, 0, {}};
}
Reply value(uint32_t v) {
    return {Reply::kValue, {}, v, {}};
}
Reply counted(std::vector<uint8_t> d) {
    return {Reply::kCounted, {}, 0, std::move(d)};
}

struct Context {
    State& s;
    Board& board;
};

using Handler = Reply (*)(Context&, const Request&);

// Field kinds: b 8-bit, h 16-bit, w 32-bit hexadecimal; f a decimal number;
// # a hexadecimal byte count whose bytes follow the command line.
struct Entry {
    std::string_view word;
    std::string_view fields;
    Handler run;
};

// ---- CBUS ----

uint64_t reg_key(uint32_t a, uint32_t b) {
    return uint64_t{a} << 32 | b;
}

uint8_t reg_byte(const State& s, uint32_t a, uint32_t b) {
    auto it = s.regs.find(reg_key(a, b));
    return it == s.regs.end() ? 0 : it->second;
}

// Words are two bytes, low byte first, at consecutive addresses.
uint32_t reg_word(const State& s, uint32_t a, uint32_t b) {
    return reg_byte(s, a, b) | reg_byte(s, a, b + 1) << 8;
}

std::vector<uint8_t> reg_read(const State& s, uint32_t a, uint32_t b, uint32_t n) {
    std::vector<uint8_t> out(n);
    for (uint32_t i = 0; i < n; ++i) out[i] = reg_byte(s, a, b + i);
    return out;
}

void reg_write(State& s, uint32_t a, uint32_t b, std::string_view data) {
    for (size_t i = 0; i < data.size(); ++i)
        s.regs[reg_key(a, b + static_cast<uint32_t>(i))] = static_cast<uint8_t>(data[i]);
}

Reply cbus_read_word(Context& c, const Request& r) {
    return value(reg_word(c.s, r.x[0], r.x[1]));
}
Reply cbus_read_byte(Context& c, const Request& r) {
    return value(reg_byte(c.s, r.x[0], r.x[1]));
}

Reply cbus_read_stream(Context& c, const Request& r) {
    if (r.x[2] > kMaxStream) return fail("Count too large");
    return counted(reg_read(c.s, r.x[0], r.x[1], r.x[2]));
}

Reply cbus_write_word(Context& c, const Request& r) {
    const char w[2] = {static_cast<char>(r.x[2] & 0xFF), static_cast<char>(r.x[2] >> 8 & 0xFF)};
    reg_write(c.s, r.x[0], r.x[1], {w, 2});
    return ok();
}

Reply cbus_write_byte(Context& c, const Request& r) {
    const char v = static_cast<char>(r.x[2]);
    reg_write(c.s, r.x[0], r.x[1], {&v, 1});
    return ok();
}

Reply cbus_write_stream(Context& c, const Request& r) {
    reg_write(c.s, r.x[0], r.x[1], r.payload);
    return ok();
}

Reply cbus_spi_mode(Context& c, const Request& r) {
    if (r.x[0] > 3) return fail("Bad SPI mode");
    c.s.spi_mode = r.x[0];
    return ok();
}

Reply cbus_baud(Context& c, const Request& r) {
    if (r.x[0] == 0) return fail("Bad baud rate");
    c.s.spi_baud = r.x[0];
    return ok();
}

// ---- GPIO, DIO, IO banks and dedicated lines ----

template <Bank State::*B>
Reply bank_init(Context& c, const Request&) {
    c.s.*B = Bank{};
    return ok();
}
template <Bank State::*B>
Reply bank_dir(Context& c, const Request& r) {
    (c.s.*B).dir = static_cast<uint16_t>(r.x[0]);
    return ok();
}
template <Bank State::*B>
Reply bank_write(Context& c, const Request& r) {
    (c.s.*B).latch = static_cast<uint16_t>(r.x[0]);
    return ok();
}
template <Bank State::*B>
Reply bank_set(Context& c, const Request& r) {
    (c.s.*B).latch |= static_cast<uint16_t>(r.x[0]);
    return ok();
}
template <Bank State::*B>
Reply bank_clear(Context& c, const Request& r) {
    (c.s.*B).latch &= static_cast<uint16_t>(~r.x[0]);
    return ok();
}
template <Bank State::*B>
Reply bank_read(Context& c, const Request&) {
    return value((c.s.*B).read());
}

Reply dedicated_init(Context& c, const Request&) {
    c.s.booten[0] = c.s.booten[1] = 0;
    c.s.irqn_enabled = c.s.irqn_pending = false;
    return ok();
}
template <int N>
Reply booten_set(Context& c, const Request& r) {
    c.s.booten[N] |= static_cast<uint8_t>(r.x[0]);
    return ok();
}
template <int N>
Reply booten_clear(Context& c, const Request& r) {
    c.s.booten[N] &= static_cast<uint8_t>(~r.x[0]);
    return ok();
}
Reply irqn_int_set(Context& c, const Request&) {
    c.s.irqn_pending = true;
    return ok();
}
Reply irqn_enable(Context& c, const Request&) {
    c.s.irqn_enabled = true;
    return ok();
}
Reply irqn_disable(Context& c, const Request&) {
    c.s.irqn_enabled = false;
    return ok();
}

// Bit 0 BOOTEN1 driven, bit 1 BOOTEN2 driven, bit 2 IRQN enabled, bit 3 IRQN pending.
Reply dedio_status(Context& c, const Request&) {
    const State& s = c.s;
    return value((s.booten[0] ? 1u : 0u) | (s.booten[1] ? 2u : 0u) | (s.irqn_enabled ? 4u : 0u) |
                 (s.irqn_pending ? 8u : 0u));
}

// ---- I2S host port ----

void stop_rx(Context& c) {
    if (c.s.rx_dma) c.board.stream().set_pattern(StreamGenerator::Pattern::kOff);
    c.s.rx_dma = false;
}

Reply i2s_init(Context& c, const Request&) {
    stop_rx(c);
    c.s.tx_dma = false;
    c.s.i2s_ready = true;
    return ok();
}

Reply i2s_tx_enable(Context& c, const Request&) {
    if (!c.s.i2s_ready) return fail("I2S not initialised");
    c.s.tx_dma = true;
    return ok();
}

// While RX DMA runs the board streams both sines on pipe 0x82.
Reply i2s_rx_enable(Context& c, const Request&) {
    if (!c.s.i2s_ready) return fail("I2S not initialised");
    StreamGenerator& gen = c.board.stream();
    for (int ch = 0; ch < 2; ++ch)
        gen.set_sine(ch, static_cast<float>(c.s.sine[ch][0]), static_cast<float>(c.s.sine[ch][1]));
    gen.set_pattern(StreamGenerator::Pattern::kI2sSines);
    c.s.rx_dma = true;
    c.board.kick_stream();
    return ok();
}

Reply i2s_disable(Context& c, const Request&) {
    stop_rx(c);
    c.s.tx_dma = false;
    return ok();
}

template <int Ch>
Reply i2s_sine(Context& c, const Request& r) {
    c.s.sine[Ch][0] = r.f[0];
    c.s.sine[Ch][1] = r.f[1];
    c.board.stream().set_sine(Ch, static_cast<float>(r.f[0]), static_cast<float>(r.f[1]));
    return ok();
}

// Bit 0 RX DMA running, bit 1 TX DMA running, bit 2 port initialised.
Reply i2s_rx_status(Context& c, const Request&) {
    return value((c.s.rx_dma ? 1u : 0u) | (c.s.tx_dma ? 2u : 0u) | (c.s.i2s_ready ? 4u : 0u));
}

// ---- system ----

Reply sys_version(Context& c, const Request&) {
    return value(c.board.firmware_version());
}

Reply sys_reset(Context& c, const Request&) {
    stop_rx(c);
    c.s = State{};
    return ok();
}

template <size_t N>
Reply sys_load_fi(Context& c, const Request& r) {
    c.s.last_load.family = std::string(r.word.substr(r.word.find('_') + 1));
    for (size_t i = 0; i < 4; ++i) c.s.last_load.fields[i] = i < N ? r.x[i] : 0;
    ++c.s.loads;
    return ok();
}

// The board sleeps on its own clock before it answers.
Reply sys_timer_sleep(Context&, const Request& r) {
    dirov_sim_advance_clock(r.x[0]);
    return ok();
}

// ---- UART and SD card ----

Uart* uart_port(Context& c, const Request& r) {
    return r.x[0] < kUartPorts ? &c.s.uart[r.x[0]] : nullptr;
}

Reply uart_init(Context& c, const Request& r) {
    Uart* u = uart_port(c, r);
    if (!u) return fail("No such UART");
    *u = Uart{};
    u->ready = true;
    return ok();
}

Reply uart_baud(Context& c, const Request& r) {
    Uart* u = uart_port(c, r);
    if (!u) return fail("No such UART");
    if (r.x[1] == 0) return fail("Bad baud rate");
    u->baud = r.x[1];
    return ok();
}

Reply uart_config(Context& c, const Request& r) {
    Uart* u = uart_port(c, r);
    if (!u) return fail("No such UART");
    bool sound =
        r.x[1] != 0 && r.x[2] >= 5 && r.x[2] <= 9 && r.x[3] <= 2 && r.x[4] >= 1 && r.x[4] <= 2;
    if (!sound) return fail("Bad UART configuration");
    u->baud = r.x[1];
    u->data_bits = r.x[2];
    u->parity = r.x[3];
    u->stop_bits = r.x[4];
    return ok();
}

Reply uart_write(Context& c, const Request& r) {
    Uart* u = uart_port(c, r);
    if (!u) return fail("No such UART");
    if (!u->ready) return fail("UART not initialised");
    u->last = static_cast<uint8_t>(r.x[1]);
    ++u->sent;
    return ok();
}

Reply sd_test(Context&, const Request&) {
    return value(kSdCardPassed);
}

constexpr Entry kCommands[] = {
    {"CBUS:READWORD", "bb", cbus_read_word},
    {"CBUS:READBYTE", "bw", cbus_read_byte},
    {"CBUS:READWORDSTREAM", "bwb", cbus_read_stream},
    {"CBUS:READBYTESTREAM", "bbw", cbus_read_stream},
    {"CBUS:WRITEWORD", "bww", cbus_write_word},
    {"CBUS:WRITEBYTE", "bbb", cbus_write_byte},
    {"CBUS:WRITEWORDSTREAM", "bw#", cbus_write_stream},
    {"CBUS:WRITEBYTESTREAM", "bb#", cbus_write_stream},
    {"CBUS:SETSPIMODE", "w", cbus_spi_mode},
    {"CBUS:SETBAUDRATE", "w", cbus_baud},
    {"GPIO:INIT", "", bank_init<&State::gpio>},
    {"GPIO:SETDIR", "h", bank_dir<&State::gpio>},
    {"GPIO:WRITE", "h", bank_write<&State::gpio>},
    {"GPIO:READ", "", bank_read<&State::gpio>},
    {"GPIO:SETPIN", "h", bank_set<&State::gpio>},
    {"GPIO:CLEARPIN", "h", bank_clear<&State::gpio>},
    {"GPIO:DIOINIT", "", bank_init<&State::dio>},
    {"GPIO:DIOWRITE", "h", bank_write<&State::dio>},
    {"GPIO:DIOSETPIN", "h", bank_set<&State::dio>},
    {"GPIO:DIOCLEARPIN", "h", bank_clear<&State::dio>},
    {"GPIO:IOINIT", "", bank_init<&State::io>},
    {"GPIO:IOSETDIR", "h", bank_dir<&State::io>},
    {"GPIO:IOWRITE", "h", bank_write<&State::io>},
    {"GPIO:IOREAD", "", bank_read<&State::io>},
    {"GPIO:IOSETPIN", "h", bank_set<&State::io>},
    {"GPIO:IOCLEARPIN", "h", bank_clear<&State::io>},
    {"GPIO:DEDICATEDIOINIT", "", dedicated_init},
    {"GPIO:SETBOOTEN1", "b", booten_set<0>},
    {"GPIO:SETBOOTEN2", "b", booten_set<1>},
    {"GPIO:CLEARBOOTEN1", "b", booten_clear<0>},
    {"GPIO:CLEARBOOTEN2", "b", booten_clear<1>},
    {"GPIO:IRQNINTSET", "", irqn_int_set},
    {"GPIO:IRQNENABLE", "", irqn_enable},
    {"GPIO:IRQNDISABLE", "", irqn_disable},
    {"GPIO:DEDIOGETSTATUS", "", dedio_status},
    {"I2S:INIT", "", i2s_init},
    {"I2S:DMATXENABLE", "", i2s_tx_enable},
    {"I2S:DMARXENABLE", "", i2s_rx_enable},
    {"I2S:DMADISABLE", "", i2s_disable},
    {"I2S:SETLSINE", "ff", i2s_sine<0>},
    {"I2S:SETRSINE", "ff", i2s_sine<1>},
    {"I2S:DMARXSTATUS", "", i2s_rx_status},
    {"SYS:RESET", "", sys_reset},
    {"SYS:VERSION", "", sys_version},
    {"SYS:LOADFI_QDR5X3X", "bwhh", sys_load_fi<4>},
    {"SYS:LOADFI_QDR504X_QDR514X", "bwhh", sys_load_fi<4>},
    {"SYS:LOADFI_QDR524X_QDR534X", "bwhh", sys_load_fi<4>},
    {"SYS:LOADFI_QDR5X6X", "bhh", sys_load_fi<3>},
    {"SYS:TIMERSLEEP", "w", sys_timer_sleep},
    {"UART:INIT", "b", uart_init},
    {"UART:SETBAUD", "bw", uart_baud},
    {"UART:SETCONFIG", "bwbbb", uart_config},
    {"UART:WRITEBYTE", "bb", uart_write},
    {"SDMMC:TEST", "", sd_test},
};

// ---- parsing ----

constexpr const char* kBadArguments = "Bad arguments";

// 1 to 8 hexadecimal digits and nothing else.
bool parse_hex(std::string_view s, uint32_t* v) {
    if (s.empty() || s.size() > 8) return false;
    uint32_t r = 0;
    for (char ch : s) {
        int d = ch >= '0' && ch <= '9'   ? ch - '0'
                : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                         : -1;
        if (d < 0) return false;
        r = r << 4 | static_cast<uint32_t>(d);
    }
    *v = r;
    return true;
}

bool parse_number(std::string_view s, double* v) {
    char buf[64];
    if (s.empty() || s.size() >= sizeof buf) return false;
    std::memcpy(buf, s.data(), s.size());
    buf[s.size()] = '\0';
    char* end = nullptr;
    double d = std::strtod(buf, &end);
    if (end != buf + s.size() || !std::isfinite(d)) return false;
    *v = d;
    return true;
}

// The "#n" field: the count must match the bytes behind the command line.
const char* parse_count(std::string_view s, std::string_view rest, Request& r, size_t i) {
    if (s.empty() || s[0] != '#' || !parse_hex(s.substr(1), &r.x[i])) return kBadArguments;
    if (r.x[i] > kMaxStream) return "Count too large";
    if (rest.size() < r.x[i]) return "Payload shorter than its count";
    if (rest.size() > r.x[i]) return "Payload longer than its count";
    r.payload = rest;
    return nullptr;
}

const char* parse_field(char kind, std::string_view s, std::string_view rest, Request& r,
                        size_t i) {
    if (kind == '#') return parse_count(s, rest, r, i);
    if (kind == 'f') return parse_number(s, &r.f[i]) ? nullptr : kBadArguments;
    uint32_t limit = kind == 'b' ? 0xFF : kind == 'h' ? 0xFFFF : 0xFFFFFFFF;
    if (!parse_hex(s, &r.x[i]) || r.x[i] > limit) return kBadArguments;
    return nullptr;
}

// Fills `r` from the argument text and the bytes behind the line; null, or why not.
const char* parse_fields(std::string_view fields, std::string_view args, std::string_view rest,
                         Request& r) {
    bool counted = fields.find('#') != std::string_view::npos;
    if (!counted && !rest.empty()) return "Unexpected payload";
    for (size_t i = 0; i < fields.size(); ++i) {
        size_t comma = args.find(',');
        bool last = i + 1 == fields.size();
        if (last == (comma != std::string_view::npos)) return kBadArguments;
        if (const char* why = parse_field(fields[i], args.substr(0, comma), rest, r, i)) return why;
        args.remove_prefix(last ? args.size() : comma + 1);
    }
    return nullptr;
}

const Entry* find_command(std::string_view word) {
    for (const Entry& e : kCommands)
        if (e.word == word) return &e;
    return nullptr;
}

// The command word as the reply echoes it: printable, bounded, never empty,
// so the host always finds three tokens.
std::string echo(std::string_view word) {
    std::string out(word.substr(0, kMaxEcho));
    for (char& ch : out)
        if (ch <= ' ' || ch > '~') ch = '?';
    return out.empty() ? "?" : out;
}

std::vector<uint8_t> encode(const std::string& word, const Reply& r) {
    char head[32];
    switch (r.kind) {
        case Reply::kValue:
            std::snprintf(head, sizeof head, " DATA %x\n", r.value);
            return bytes(word + head);
        case Reply::kCounted: {
            std::snprintf(head, sizeof head, " DATA #%zx\n", r.data.size());
            std::vector<uint8_t> out = bytes(word + head);
            out.insert(out.end(), r.data.begin(), r.data.end());
            return out;
        }
        case Reply::kStatus:
            break;
    }
    return bytes(word + " CSTAT " + r.text + "\n");
}

class MainFirmware final : public FaceModel {
   public:
    explicit MainFirmware(Board&) {}

    void on_bulk_out(Board& b, uint8_t ep, const uint8_t* data, uint32_t len) override {
        if (ep != kCommandOut) return;
        std::string_view text(reinterpret_cast<const char*>(data), len);
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        std::string_view word = line.substr(0, line.find(' '));
        b.push_in(kReplyIn, bytes("ISTAT OK\n"));
        std::lock_guard lk(mu_);
        Context c{state_, b};
        Reply reply = eol == std::string_view::npos ? fail("Command line not terminated")
                                                    : run(c, line, word, text.substr(eol + 1));
        b.push_in(kReplyIn, encode(echo(word), reply));
    }

    uint32_t on_control(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                        uint32_t* done) override {
        return main_face_control(b, s, data, len, done);
    }

    bool next_stream_transfer(Board& b, uint8_t ep, std::vector<uint8_t>& out) override {
        return ep == 0x82 && b.stream().next(out);
    }

   private:
    static Reply run(Context& c, std::string_view line, std::string_view word,
                     std::string_view rest) {
        const Entry* e = find_command(word);
        if (!e) return fail("Unknown command");
        Request r;
        r.word = word;
        bool has_args = line.size() > word.size();
        if (has_args != !e->fields.empty()) return fail(kBadArguments);
        std::string_view args = has_args ? line.substr(word.size() + 1) : std::string_view{};
        if (const char* why = parse_fields(e->fields, args, rest, r)) return fail(why);
        return e->run(c, r);
    }

    std::mutex mu_;
    State state_;
};

}  // namespace

std::unique_ptr<FaceModel> make_main_firmware(Board& board) {
    return std::make_unique<MainFirmware>(board);
}

}  // namespace dirov::sim
