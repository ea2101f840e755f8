// A USB/IP server that presents simulated boards as USB devices: a client
// (Linux's `usbip attach`, usbip-win on Windows, or this server itself
// through the local vhci-hcd) imports a board and its host's USB stack then
// enumerates it and sends it URBs, which reach the same sim::Board model the
// library's own simulated transport uses. Face changes (DFU detach, start of
// the main firmware, an upgrade) and unplugs take the device off the bus:
// the server ends the connection right after the reply of the request that
// caused it; the new face is plugged in again (attach mode) or offered for
// the next import.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dirov410_sim.h"
#include "sim/stream.h"

namespace dirov::usbip {

struct ServerOptions {
    std::string host = "127.0.0.1";  // an IPv4 or IPv6 address, never a name
    uint16_t port = 3240;
    std::vector<std::string> serials = {"DRV410-0001"};  // one board each
    dirov_sim_face face = DIROV_SIM_FACE_MAIN;
    sim::StreamGenerator::Pattern pattern = sim::StreamGenerator::Pattern::kCounter;
    uint64_t rate = 0;  // stream bytes per second; 0: as fast as read
    // Plug the boards into this machine's vhci-hcd (root, module vhci-hcd
    // loaded) instead of waiting for `usbip attach`; face changes plug the
    // new face in again.
    bool attach = false;
    std::string vhci = "/sys/devices/platform/vhci_hcd.0";
    uint32_t replug_ms = 500;  // off the bus at an unplug
    std::function<void(const std::string&)> log;
};

class Server {
   public:
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens: "" or why it cannot (address in use, not an
    // address of this machine, ...).
    std::string listen();
    // The port listened on (useful with port 0).
    uint16_t port() const;
    // Serves until stop(); in attach mode plugs every board in first.
    // False when a board could not be attached.
    bool run();
    // Both are async-signal-safe. stop: every board leaves, run returns.
    // replug: every board is unplugged and plugged in again after
    // replug_ms, showing the face it had, its DFU state reset.
    void stop();
    void replug();

    struct Slot;
    class Connection;

   private:
    void handle_op(int fd);
    void serve_slot(Slot& slot, int fd);
    int self_attach(Slot& slot);
    void do_replug();
    void say(const std::string& line);

    ServerOptions opt_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::atomic<bool> stopping_{false};
    std::mutex mu_;  // stop_cv_ and attaching
    std::condition_variable stop_cv_;
};

}  // namespace dirov::usbip
