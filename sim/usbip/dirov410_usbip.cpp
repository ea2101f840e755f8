// dirov410-usbip: serves simulated dirov410 boards over USB/IP, so that a
// real USB stack (Linux vhci-hcd, usbip-win) enumerates them and unmodified
// applications, libusb, lsusb or dfu-util talk to them.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>

#include "sim/usbip/server.h"

namespace {

dirov::usbip::Server* active_server = nullptr;

void on_signal(int sig) {
    if (!active_server) return;
    if (sig == SIGUSR1)
        active_server->replug();
    else
        active_server->stop();
}

constexpr const char* kFooter = R"(
Attach a served board on Linux (root):
  modprobe vhci-hcd
  usbip list -r 127.0.0.1
  usbip attach -r 127.0.0.1 -b 1-1        (1-2, 1-3... for further boards)
  usbip port; usbip detach -p PORT        (the host lets go)
With --attach the server plugs its boards into this machine's vhci-hcd
itself. A face change (DFU detach, start of the main firmware, upgrade)
takes the board off the bus: with --attach the new face is plugged in again
at once, otherwise it waits for the next `usbip attach`.

Signals: SIGINT or SIGTERM stop (every board leaves the bus); SIGUSR1
unplugs every board and plugs it in again after --replug-ms, its DFU state
reset. Exit status: 0 after a stop, 1 when it cannot serve, 2 usage error.)";

}  // namespace

int main(int argc, char** argv) {
    using Pattern = dirov::sim::StreamGenerator::Pattern;
    dirov::usbip::ServerOptions opt;
    std::string address = "127.0.0.1:3240";
    unsigned count = 1;
    std::vector<std::string> serials;
    Pattern pattern = Pattern::kCounter;
    dirov_sim_face face = DIROV_SIM_FACE_MAIN;
    CLI::App app{"Serves simulated dirov410 boards over USB/IP."};
    app.footer(kFooter);
    app.add_option("-a,--address", address,
                   "HOST:PORT to listen on (IPv6: [ADDR]:PORT); only this address")
        ->capture_default_str();
    app.add_option("-n,--boards", count, "Number of boards (serials DRV410-0001...)")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    app.add_option("-s,--serial", serials, "Serial of each board (repeat; sets the count)");
    app.add_option("--pattern", pattern, "Stream on pipe 0x82: counter, i2s or off")
        ->transform(
            CLI::CheckedTransformer(std::map<std::string, Pattern>{{"counter", Pattern::kCounter},
                                                                   {"i2s", Pattern::kI2sSines},
                                                                   {"off", Pattern::kOff}},
                                    CLI::ignore_case));
    app.add_option("--rate", opt.rate, "Stream bytes per second (0: as fast as read)");
    app.add_option("--face", face, "Face shown at start: main or bootloader")
        ->transform(CLI::CheckedTransformer(
            std::map<std::string, dirov_sim_face>{{"main", DIROV_SIM_FACE_MAIN},
                                                  {"bootloader", DIROV_SIM_FACE_BOOTLOADER}},
            CLI::ignore_case));
    app.add_flag("--attach", opt.attach,
                 "Plug the boards into this machine's vhci-hcd (root; modprobe vhci-hcd)");
    app.add_option("--vhci", opt.vhci, "vhci-hcd's sysfs folder")->capture_default_str();
    app.add_option("--replug-ms", opt.replug_ms, "Time off the bus at SIGUSR1")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    size_t colon = address.rfind(':');
    std::string host = colon == std::string::npos ? "" : address.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned long port = 0;
    char* end = nullptr;
    if (colon != std::string::npos) port = std::strtoul(address.c_str() + colon + 1, &end, 10);
    if (host.empty() || !end || *end || end == address.c_str() + colon + 1 || port > 65535) {
        std::fprintf(stderr,
                     "dirov410-usbip: bad address '%s': want HOST:PORT, e.g. 127.0.0.1:3240\n",
                     address.c_str());
        return 2;
    }
    opt.host = host;
    opt.port = static_cast<uint16_t>(port);
    if (serials.empty()) {
        for (unsigned i = 1; i <= count; ++i) {
            char s[32];
            std::snprintf(s, sizeof s, "DRV410-%04u", i);
            serials.push_back(s);
        }
    }
    opt.serials = serials;
    opt.pattern = pattern;
    opt.face = face;
    opt.log = [](const std::string& line) {
        std::fprintf(stderr, "dirov410-usbip: %s\n", line.c_str());
    };

    dirov::usbip::Server server(opt);
    std::string why = server.listen();
    if (!why.empty()) {
        std::fprintf(stderr, "dirov410-usbip: %s\n", why.c_str());
        return 1;
    }
    std::fprintf(stderr, "dirov410-usbip: %zu board(s) on %s:%u\n", serials.size(), host.c_str(),
                 server.port());
    active_server = &server;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    bool ok = server.run();
    active_server = nullptr;
    return ok ? 0 : 1;
}
