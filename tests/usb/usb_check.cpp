// The library against the Linux USB stack, in the guest that
// scripts/usb/run.sh boots: boards served by dirov410-usbip on vhci-hcd,
// found and driven through libusb and the kernel. Prints "CHECK name: ok" or
// "CHECK name: FAIL ...", "FIGURE ..." lines and a RESULT line; exit 1 when
// a check failed.
// Environment: DIROV_USBIP_PID (the server: SIGUSR1 unplugs and replugs),
// DIROV_ELF (the sample firmware), DIROV_TMP (a scratch folder).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dirov410.h"

namespace {

using Clock = std::chrono::steady_clock;
int checks = 0, failed = 0;

void check(const std::string& name, bool ok, const std::string& detail = "") {
    ++checks;
    failed += !ok;
    std::printf("CHECK %s: %s%s%s\n", name.c_str(), ok ? "ok" : "FAIL", detail.empty() ? "" : " ",
                detail.c_str());
    std::fflush(stdout);
}

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

void unplug() {
    kill(static_cast<pid_t>(std::atoi(env("DIROV_USBIP_PID").c_str())), SIGUSR1);
}

// Retries `fn` every 50 ms for up to `limit_s`: the board re-enumerates.
bool within(double limit_s, const std::function<bool()>& fn) {
    for (auto t = Clock::now(); seconds_since(t) < limit_s;) {
        if (fn()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

bool is_counter(const uint8_t* p, size_t n, uint64_t offset) {
    for (size_t i = 0; i < n; ++i, ++offset)
        if (p[i] != static_cast<uint8_t>((offset / 4) >> (8 * (offset % 4)))) return false;
    return true;
}

std::string serial_now() {
    uint8_t s[64] = {};
    if (GetDeviceSerialNumber(s, 22) != 0) return "?";
    std::string r;
    for (int i = 0; i < 22; i += 2) r += static_cast<char>(s[i]);
    return r;
}

bool open_main(const char* serial) {
    dirov_select_device(serial);
    Hx410DItfClose();
    return within(15, [] { return Hx410DItfOpen().ConnState == 2; });
}

// The stream offset of counter data that starts with `p`.
uint64_t counter_offset(const uint8_t* p) {
    return 4ull * (p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24);
}

// Reads the stream through the capture worker: bytes in counter order (a
// capture starts where the board's counter is).
uint64_t capture(uint64_t limit, const char* save_to, double* secs) {
    uint64_t read = 0, base = 0;
    auto t = Clock::now();
    if ((save_to && StartSaveWorker(save_to, 8 << 20) != 0) || StartCaptureWorker() != 0) return 0;
    while (read < limit) {
        DataPacket* p = GetNextPacket();
        if (p && read == 0 && p->size >= 4) base = counter_offset(p->data);
        if (!p || !is_counter(p->data, static_cast<size_t>(p->size), base + read)) break;
        read += static_cast<uint64_t>(p->size);
    }
    if (secs) *secs = seconds_since(t);
    StopCaptureWorker();
    if (save_to) StopSaveWorker(0);
    return read;
}

// The 54 command texts, each with fields as the board parses them:
// b byte, w word, h half word, f number, # counted payload.
// clang-format off
const char* const kCommands[] = {
    "CBUS:READWORD bb", "CBUS:READBYTE bw", "CBUS:READWORDSTREAM bwb", "CBUS:READBYTESTREAM bbw",
    "CBUS:WRITEWORD bww", "CBUS:WRITEBYTE bbb", "CBUS:WRITEWORDSTREAM bw#", "CBUS:WRITEBYTESTREAM bb#",
    "CBUS:SETSPIMODE w", "CBUS:SETBAUDRATE w", "GPIO:INIT", "GPIO:SETDIR h", "GPIO:WRITE h", "GPIO:READ",
    "GPIO:SETPIN h", "GPIO:CLEARPIN h", "GPIO:DIOINIT", "GPIO:DIOWRITE h", "GPIO:DIOSETPIN h",
    "GPIO:DIOCLEARPIN h", "GPIO:IOINIT", "GPIO:IOSETDIR h", "GPIO:IOWRITE h", "GPIO:IOREAD",
    "GPIO:IOSETPIN h", "GPIO:IOCLEARPIN h", "GPIO:DEDICATEDIOINIT", "GPIO:SETBOOTEN1 b",
    "GPIO:SETBOOTEN2 b", "GPIO:CLEARBOOTEN1 b", "GPIO:CLEARBOOTEN2 b", "GPIO:IRQNINTSET",
    "GPIO:IRQNENABLE", "GPIO:IRQNDISABLE", "GPIO:DEDIOGETSTATUS", "I2S:INIT", "I2S:DMATXENABLE",
    "I2S:DMARXENABLE", "I2S:DMADISABLE", "I2S:SETLSINE ff", "I2S:SETRSINE ff", "I2S:DMARXSTATUS",
    "SYS:RESET", "SYS:VERSION", "SYS:LOADFI_QDR5X3X bwhh", "SYS:LOADFI_QDR504X_QDR514X bwhh",
    "SYS:LOADFI_QDR524X_QDR534X bwhh", "SYS:LOADFI_QDR5X6X bhh", "SYS:TIMERSLEEP w", "UART:INIT b",
    "UART:SETBAUD bw", "UART:SETCONFIG bwbbb", "UART:WRITEBYTE bb", "SDMMC:TEST"};
// clang-format on

void commands(WINUSB_INTERFACE_HANDLE h) {
    int answered = 0;
    std::string bad;
    for (const char* row : kCommands) {
        std::string s = row, name = s.substr(0, s.find(' ')), text = name;
        std::string fields = s.size() > name.size() ? s.substr(name.size() + 1) : "";
        PayloadPart part{1, reinterpret_cast<const uint8_t*>("Z")};
        for (size_t i = 0; i < fields.size(); ++i)
            text += (i ? "," : " ") + std::string(fields[i] == '#'   ? "#1"
                                                  : fields[i] == 'f' ? "1000"
                                                                     : "1");
        bool counted = fields.find('#') != std::string::npos;
        CommandReply* r =
            usb_comms(h, (text + "\n").c_str(), counted ? 1 : 0, counted ? &part : nullptr);
        // A refusal of these arguments is an answer too; not knowing the text is not.
        bool ok = r && !std::strstr(r->Error, "Unknown") && !std::strstr(r->Error, "Bad arguments");
        answered += ok;
        if (!ok) bad += " " + name + (r ? std::string("=") + r->Error : "=no reply");
        if (r) std::free(r->Data);
        std::free(r);
    }
    check("54 command texts answered over the bulk pipes",
          answered == 54 && std::size(kCommands) == 54, std::to_string(answered) + bad);
}

std::atomic<bool> g_unplug_at_block{false};
void on_block(uint32_t block, uint32_t, void*) {
    if (block == 3 && g_unplug_at_block.exchange(false)) unplug();
}

void on_alarm(int) {
    const char m[] = "CHECK no hang: FAIL (watchdog)\n";
    (void)!write(1, m, sizeof m - 1);
    _exit(1);
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGALRM, on_alarm);
    alarm(400);
    std::string tmp = env("DIROV_TMP"), elf = env("DIROV_ELF");
    std::string dfu = tmp + "/firmware.dfu", raw = tmp + "/capture.raw";

    dirov_device_info info[8] = {};
    int n = dirov_list_devices(nullptr, info, 8);
    std::string a = info[0].serial, b = info[1].serial;
    std::string serials = n == 2 ? std::min(a, b) + std::max(a, b) : "";
    check("dirov_list_devices finds both boards by GUID (BOS, MS OS 2.0)",
          serials == "DRV410-0001DRV410-0002", std::to_string(n) + " " + info[0].path);
    n = dirov_list_devices(&GUID_DFU_MAIN_INTERFACE, info, 8);
    check("the DFU interface GUID: both run-time interfaces and the bootloader", n == 3,
          std::to_string(n));
    // The command set on the second board: some commands change its stream.
    bool opened = open_main("DRV410-0002");
    check("open by serial DRV410-0002", opened && serial_now() == "DRV410-0002");
    commands(_GetWinUsbHandle());
    opened = open_main("DRV410-0001");
    check("open by serial DRV410-0001", opened && serial_now() == "DRV410-0001");

    double secs = 0;
    uint64_t got = capture(64 << 20, nullptr, &secs);
    dirov_capture_stats st{};
    dirov_get_capture_stats(&st);
    check("64 MiB captured, counter pattern in order", got >= (64u << 20), std::to_string(got));
    check("capture statistics agree",
          st.bytes >= got && st.bytes == st.transfers * 20480 && st.dropped_bytes == 0,
          std::to_string(st.bytes) + " bytes in " + std::to_string(st.transfers));
    got = capture(16 << 20, raw.c_str(), nullptr);
    std::vector<uint8_t> saved(9 << 20);
    FILE* f = std::fopen(raw.c_str(), "rb");
    size_t n_saved = f ? std::fread(saved.data(), 1, saved.size(), f) : 0;
    if (f) std::fclose(f);
    std::remove(raw.c_str());
    check("capture saved to a file (8 MiB limit), counter pattern",
          n_saved == (8u << 20) && is_counter(saved.data(), n_saved, counter_offset(saved.data())),
          std::to_string(n_saved));

    // dfu_detach from the main firmware's DFU interface: a real re-enumeration.
    DEVICE_DATA dev{};
    BOOL none = 0;
    dirov_select_device("DRV410-0001");
    opened = OpenDevice(&dev, &none, &GUID_DFU_MAIN_INTERFACE) >= 0;
    auto t = Clock::now();
    bool detached = opened && dfu_detach(dev.WinUsbHandle, 1000) == 0;
    CloseDevice(&dev);
    char path[DIROV_MAX_PATH];
    uint8_t state = 0xFF;
    bool back = within(20, [&] {
        return RetrieveDevicePath(path, sizeof path, &none, &GUID_DFU_MAIN_INTERFACE) >= 0 &&
               OpenDevice(&dev, &none, &GUID_DFU_MAIN_INTERFACE) >= 0 &&
               (dfu_getstate(dev.WinUsbHandle, &state) == 1 || (CloseDevice(&dev), false));
    });
    std::printf("FIGURE dfu_detach to the bootloader found again (same process): %.0f ms\n",
                seconds_since(t) * 1e3);
    check("dfu_detach on the DFU interface, bootloader found again",
          detached && back && state == DFU_STATE_DFU_IDLE, std::to_string(state));
    CloseDevice(&dev);
    ItfOpenResult r = Hx410DItfOpen();
    check("Hx410DItfOpen from the bootloader starts the main firmware",
          r.ConnState == 2 && serial_now() == "DRV410-0001", std::to_string(r.ConnState));

    check("DFU file from the sample ELF",
          dfu_file_create(elf.c_str(), dfu.c_str(), 0, nullptr, nullptr) == 0);
    bool upgraded = FirmwareUpgrade(dfu.c_str()) == 0;
    int32_t version = gen_version(_GetWinUsbHandle());
    check("FirmwareUpgrade end to end", upgraded && version == 0x00020400, std::to_string(version));

    // Unplugs: mid-capture, then mid-download.
    uint64_t before = 0;
    bool started = StartCaptureWorker() == 0;
    for (DataPacket* p; started && before < (4u << 20) && (p = GetNextPacket());)
        before += static_cast<uint64_t>(p->size);
    unplug();
    while (started && GetNextPacket()) {
    }
    int32_t stop = StopCaptureWorker();
    check("unplug mid-capture ends the capture with an error",
          started && before >= (4u << 20) && stop != 0,
          "stop " + std::to_string(stop) + " error " + std::to_string(dirov_get_last_error()));
    check("a later open works", open_main("DRV410-0001"));
    g_unplug_at_block = true;
    dirov_set_dfu_progress(on_block, nullptr);
    int32_t up = FirmwareUpgrade(dfu.c_str());
    dirov_set_dfu_progress(nullptr, nullptr);
    check("unplug mid-download fails the upgrade", up != 0 && !g_unplug_at_block,
          std::to_string(up));
    // The library's record still holds the handle of the board that left;
    // the interrupted download left no valid firmware to start.
    int32_t conn = -1;
    check("a later open works", within(15, [&] { return (conn = Hx410DItfOpen().ConnState) != 0; }),
          std::to_string(conn));
    check("the upgrade after the unplug", FirmwareUpgrade(dfu.c_str()) == 0);
    // The firmware section alone: whole 2048-byte records but the last, as
    // dfu-util cuts a file into blocks (run.sh downloads it with dfu-util).
    const char* section[] = {".patch.firmware"};
    const uint8_t id[] = {4};
    std::string only = tmp + "/firmware-only.dfu";
    check("the upgrade with the firmware section alone",
          dfu_file_create(elf.c_str(), only.c_str(), 1, section, id) == 0 &&
              FirmwareUpgrade(only.c_str()) == 0);
    dirov_select_device(nullptr);
    std::printf("RESULT usb_check: %d checks, %d failed\n", checks, failed);
    return failed ? 1 : 0;
}
