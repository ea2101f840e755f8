#include "sim/usbip/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/platform.h"
#include "sim/board.h"
#include "sim/bootloader.h"
#include "sim/bus.h"
#include "sim/usb_descriptors.h"
#include "sim/usbip/protocol.h"

namespace dirov::usbip {
namespace {

constexpr auto kFacePoll = std::chrono::milliseconds(10);
constexpr int kOpTimeoutS = 5;  // a client that opens and says nothing
constexpr uint8_t kPipes[] = {0x81, 0x82};

int urb_status(uint32_t e) {
    switch (e) {
        case kErrorSuccess:
            return 0;
        case kErrorGenFailure:
            return -EPIPE;
        case kErrorDeviceNotConnected:
            return -ENODEV;
        case kErrorOperationAborted:
            return -ECONNRESET;
        default:
            return -EPROTO;
    }
}

bool send_all(int fd, const Bytes& b) {
    for (size_t at = 0; at < b.size();) {
        ssize_t n = ::send(fd, b.data() + at, b.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

std::string peer_of(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    char host[INET6_ADDRSTRLEN] = "?";
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "?";
    uint16_t port = 0;
    if (a.ss_family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
    }
    return std::string(host) + ":" + std::to_string(port);
}

void no_delay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

struct Server::Slot {
    std::shared_ptr<sim::Board> board;
    std::string busid;
    uint32_t devnum = 0;
    std::mutex mu;
    std::thread thread;
    bool active = false;  // the thread serves or follows the board
    int fd = -1;          // the URB connection while imported
};

// One import of a board: URBs in, replies out, until the host lets go or
// the board leaves the bus. Control and OUT transfers are answered at once
// on the reading thread; IN transfers wait for the board on one thread per
// pipe, in the order they came.
class Server::Connection {
   public:
    Connection(Server& server, Slot& slot, int fd) : server_(server), slot_(slot), fd_(fd) {}

    // True when the board left the bus (rather than the host the board).
    bool serve() {
        sim::Board& b = *slot_.board;
        gen_ = b.generation();
        dirov_sim_face face = b.face();
        if (face == DIROV_SIM_FACE_ABSENT || b.generation() != gen_) return true;
        desc_ = sim::usb_descriptors(b.config(), face);
        session_ = b.open_session();
        for (size_t i = 0; i < 2; ++i) pipes_[i].worker = std::thread([this, i] { pump(i); });
        std::string why = read_loop();
        bool left = b.generation() != gen_;
        if (!why.empty() && !left) server_.say("board " + slot_.busid + ": " + why);
        ::shutdown(fd_, SHUT_RDWR);
        for (Pipe& p : pipes_) {
            std::lock_guard lk(p.mu);
            p.closing = true;
            p.cv.notify_all();
        }
        b.cancel(session_, 0);
        for (Pipe& p : pipes_) p.worker.join();
        return left;
    }

   private:
    struct Pending {
        uint32_t seqnum;
        uint32_t length;
    };
    struct Pipe {
        std::mutex mu;
        std::condition_variable cv;
        std::deque<Pending> queue;
        uint32_t busy = 0;    // the seqnum being served, 0 when none
        uint32_t unlink = 0;  // the unlink's seqnum once it asks for `busy`
        bool closing = false;
        std::thread worker;
    };

    bool send(const Bytes& b) {
        std::lock_guard lk(send_mu_);
        return send_all(fd_, b);
    }

    // "" when the host closed the connection, else what went wrong.
    std::string read_loop() {
        Bytes buf;
        size_t have = 0;
        buf.resize(1 << 16);
        for (;;) {
            Command c;
            Result r = parse_command(buf.data(), have, c);
            if (r.status == Parsed::kBad) return "the client sent garbage: " + r.error;
            if (r.status == Parsed::kRequest) {
                std::memmove(buf.data(), buf.data() + r.used, have - r.used);
                have -= r.used;
                if (!handle(c)) return "connection lost";
                if (slot_.board->generation() != gen_) return "left the bus";
                continue;
            }
            if (have == buf.size()) buf.resize(buf.size() * 2);
            ssize_t n = ::recv(fd_, buf.data() + have, buf.size() - have, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) return "";
            if (n < 0) return std::string("connection lost: ") + std::strerror(errno);
            have += static_cast<size_t>(n);
        }
    }

    bool handle(const Command& c) {
        if (c.command == kCmdUnlink) return unlink(c);
        sim::Board& b = *slot_.board;
        if (c.ep == 0) {
            SetupPacket s{c.setup[0], c.setup[1],
                          static_cast<uint16_t>(c.setup[2] | c.setup[3] << 8),
                          static_cast<uint16_t>(c.setup[4] | c.setup[5] << 8),
                          static_cast<uint16_t>(c.setup[6] | c.setup[7] << 8)};
            bool in = s.bmRequestType & 0x80;
            s.wLength = static_cast<uint16_t>(std::min<uint32_t>(s.wLength, c.length));
            Bytes data(s.wLength);
            if (!in)
                std::copy_n(c.out.begin(), std::min<size_t>(c.out.size(), data.size()),
                            data.begin());
            uint32_t done = 0;
            uint32_t e = sim::bus_control(b, desc_, gen_, s, data.data(), &done);
            if (e != kErrorSuccess) done = 0;
            return send(
                encode_ret_submit(c.seqnum, urb_status(e), done, in ? data.data() : nullptr));
        }
        uint8_t address = static_cast<uint8_t>(c.ep | (c.direction == kDirIn ? 0x80 : 0));
        if (!sim::config_has_endpoint(desc_.config, address))
            return send(encode_ret_submit(c.seqnum, -EPIPE, 0, nullptr));
        if (c.direction == kDirOut) {
            uint32_t e =
                b.bulk_out(gen_, address, c.out.data(), static_cast<uint32_t>(c.out.size()));
            uint32_t done = e == kErrorSuccess ? static_cast<uint32_t>(c.out.size()) : 0;
            return send(encode_ret_submit(c.seqnum, urb_status(e), done, nullptr));
        }
        Pipe& p = pipes_[address == kPipes[0] ? 0 : 1];
        std::lock_guard lk(p.mu);
        p.queue.push_back({c.seqnum, c.length});
        p.cv.notify_all();
        return true;
    }

    // A queued read goes at once; the one being served is cancelled on the
    // board, and its pipe's thread answers; one already answered is
    // reported done.
    bool unlink(const Command& c) {
        for (size_t i = 0; i < 2; ++i) {
            Pipe& p = pipes_[i];
            std::unique_lock lk(p.mu);
            for (auto it = p.queue.begin(); it != p.queue.end(); ++it) {
                if (it->seqnum != c.unlink) continue;
                p.queue.erase(it);
                return send(encode_ret_unlink(c.seqnum, -ECONNRESET));
            }
            if (p.busy == c.unlink) {
                p.unlink = c.seqnum;
                lk.unlock();
                slot_.board->cancel(session_, kPipes[i]);
                return true;
            }
        }
        return send(encode_ret_unlink(c.seqnum, 0));
    }

    // Serves the reads of one pipe from the board, one at a time.
    void pump(size_t i) {
        Pipe& p = pipes_[i];
        uint8_t ep = kPipes[i];
        sim::Board& b = *slot_.board;
        Bytes data;
        for (;;) {
            Pending u;
            {
                std::unique_lock lk(p.mu);
                p.cv.wait(lk, [&] { return p.closing || !p.queue.empty(); });
                if (p.closing) return;
                u = p.queue.front();
                p.queue.pop_front();
                p.busy = u.seqnum;
                p.unlink = 0;
            }
            data.resize(u.length);
            uint32_t got = 0;
            uint32_t e = b.stream_submit(gen_, session_, ep, data.data(), u.length);
            if (e == kErrorIoPending) {
                // An unlink that came before the read was posted cancels it now.
                bool cancel;
                {
                    std::lock_guard lk(p.mu);
                    cancel = p.unlink != 0;
                }
                if (cancel) b.cancel(session_, ep);
                e = b.stream_wait(gen_, session_, ep, true, &got);
            }
            std::lock_guard lk(p.mu);
            p.busy = 0;
            if (p.closing) return;
            if (p.unlink && e == kErrorOperationAborted) {
                send(encode_ret_unlink(p.unlink, -ECONNRESET));
                continue;
            }
            if (e != kErrorSuccess) got = 0;
            send(encode_ret_submit(u.seqnum, urb_status(e), got, data.data()));
            if (p.unlink) send(encode_ret_unlink(p.unlink, 0));
        }
    }

    Server& server_;
    Slot& slot_;
    int fd_;
    uint32_t gen_ = 0;
    uint64_t session_ = 0;
    sim::UsbDescriptors desc_;
    std::mutex send_mu_;
    Pipe pipes_[2];
};

Server::Server(ServerOptions options) : opt_(std::move(options)) {
    uint32_t n = 0;
    for (const std::string& serial : opt_.serials) {
        dirov_sim_config cfg;
        dirov_sim_config_init(&cfg);
        cfg.face = opt_.face;
        cfg.serial = serial.c_str();
        auto slot = std::make_unique<Slot>();
        slot->board = std::make_shared<sim::Board>(static_cast<int>(n), cfg);
        slot->board->stream().set_pattern(opt_.pattern);
        slot->board->stream().set_rate(opt_.rate);
        slot->busid = "1-" + std::to_string(++n);
        slot->devnum = n + 1;
        slots_.push_back(std::move(slot));
    }
}

Server::~Server() {
    stop();
    for (auto& s : slots_)
        if (s->thread.joinable()) s->thread.join();
    for (int fd : {listen_fd_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

void Server::say(const std::string& line) {
    if (opt_.log) opt_.log(line);
}

std::string Server::listen() {
    sockaddr_storage a{};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
    if (inet_pton(AF_INET, opt_.host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(opt_.port);
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, opt_.host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(opt_.port);
        len = sizeof *v6;
    } else {
        return "'" + opt_.host + "' is not an IPv4 or IPv6 address";
    }
    std::string where = opt_.host + ":" + std::to_string(opt_.port);
    listen_fd_ = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(listen_fd_, 8) != 0) {
        std::string why = std::strerror(errno);
        if (errno == EADDRINUSE) why += " (another USB/IP server, usbipd, runs there?)";
        return "cannot listen on " + where + ": " + why;
    }
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return std::strerror(errno);
    return "";
}

uint16_t Server::port() const {
    return port_;
}

void Server::stop() {
    stopping_.store(true);
    char c = 's';
    if (wake_[1] >= 0) (void)!::write(wake_[1], &c, 1);
}

void Server::replug() {
    char c = 'r';
    if (wake_[1] >= 0) (void)!::write(wake_[1], &c, 1);
}

// Plugs the slot's board into a free high-speed port of vhci-hcd, as
// `usbip attach` does, over a loopback connection of its own. The URB
// socket, or -1.
int Server::self_attach(Slot& slot) {
    std::lock_guard lk(mu_);  // one port search and attach at a time
    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int client = -1, conn = -1;
    if (lfd >= 0 && ::bind(lfd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
        ::listen(lfd, 1) == 0 && getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client >= 0 && ::connect(client, reinterpret_cast<sockaddr*>(&a), len) == 0)
            conn = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (lfd >= 0) ::close(lfd);
    std::string why;
    int port = -1;
    if (conn < 0) {
        why = std::string("loopback connection: ") + std::strerror(errno);
    } else {
        // "hub port status ..." lines; status 4 is a free port.
        std::ifstream status(opt_.vhci + "/status");
        std::string line;
        while (port < 0 && std::getline(status, line)) {
            std::istringstream l(line);
            std::string hub;
            int p = -1, st = -1;
            if (l >> hub >> p >> st && hub == "hs" && st == 4) port = p;
        }
        if (!status.is_open())
            why = opt_.vhci + "/status: " + std::strerror(errno) + " (modprobe vhci-hcd)";
        else if (port < 0)
            why = "no free high-speed port on " + opt_.vhci;
    }
    if (port >= 0) {
        no_delay(conn);
        std::ofstream attach(opt_.vhci + "/attach");
        attach << port << ' ' << client << ' ' << (1u << 16 | slot.devnum) << ' ' << kSpeedHigh;
        attach.flush();
        if (!attach) why = opt_.vhci + "/attach: " + std::strerror(errno);
    }
    if (client >= 0) ::close(client);  // vhci-hcd holds its own reference
    if (why.empty()) {
        say("board " + slot.busid + " plugged into vhci-hcd port " + std::to_string(port));
        return conn;
    }
    say("board " + slot.busid + " cannot be plugged in: " + why);
    if (conn >= 0) ::close(conn);
    return -1;
}

// The slot's thread: serves the import on `fd`, and after the board left
// the bus waits for it to show again and (in attach mode) plugs it in.
void Server::serve_slot(Slot& slot, int fd) {
    while (fd >= 0) {
        {
            std::lock_guard lk(slot.mu);
            slot.fd = fd;
            if (stopping_.load()) ::shutdown(fd, SHUT_RDWR);  // run() may have looked already
        }
        bool left = Connection(*this, slot, fd).serve();
        {
            std::lock_guard lk(slot.mu);
            slot.fd = -1;
        }
        ::close(fd);
        fd = -1;
        if (!left || stopping_.load()) break;
        say("board " + slot.busid + " left the bus");
        {
            std::unique_lock lk(mu_);
            while (!stopping_.load() && slot.board->face() == DIROV_SIM_FACE_ABSENT)
                stop_cv_.wait_for(lk, kFacePoll);
        }
        if (stopping_.load()) break;
        if (opt_.attach) fd = self_attach(slot);
    }
    std::lock_guard lk(slot.mu);
    slot.active = false;
}

void Server::handle_op(int fd) {
    timeval tv{kOpTimeoutS, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string peer = peer_of(fd);
    uint8_t buf[kOpHeaderSize + kBusIdSize];
    size_t have = 0;
    OpRequest req;
    Result r;
    while ((r = parse_op(buf, have, req)).status == Parsed::kMore) {
        ssize_t n = ::recv(fd, buf + have, sizeof buf - have, 0);
        if (n <= 0) {
            if (have) say("client " + peer + ": request cut short");
            ::close(fd);
            return;
        }
        have += static_cast<size_t>(n);
    }
    if (r.status == Parsed::kBad) {
        say("client " + peer + ": " + r.error);
        ::close(fd);
        return;
    }
    auto record = [](Slot& s) {
        sim::UsbDescriptors d = sim::usb_descriptors(s.board->config(), s.board->face());
        return device_record(d.device, d.config,
                             "/sys/devices/platform/dirov410-usbip/usb1/" + s.busid, s.busid, 1,
                             s.devnum);
    };
    if (req.code == kOpReqDevlist) {
        std::vector<DeviceRecord> list;
        for (auto& s : slots_) {
            std::lock_guard lk(s->mu);
            if (!s->active && s->board->face() != DIROV_SIM_FACE_ABSENT) list.push_back(record(*s));
        }
        send_all(fd, encode_devlist(list));
        ::close(fd);
        return;
    }
    for (auto& s : slots_) {
        if (s->busid != req.busid) continue;
        std::lock_guard lk(s->mu);
        if (s->active || s->board->face() == DIROV_SIM_FACE_ABSENT) break;
        if (!send_all(fd, encode_import(0, record(*s)))) break;
        say("board " + s->busid + " imported by " + peer);
        no_delay(fd);
        timeval forever{0, 0};  // URBs may come after any pause
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &forever, sizeof forever);
        if (s->thread.joinable()) s->thread.join();
        s->active = true;
        s->thread = std::thread([this, slot = s.get(), fd] { serve_slot(*slot, fd); });
        return;
    }
    say("client " + peer + ": cannot import '" + req.busid + "' (no such board, or in use)");
    send_all(fd, encode_import(1, DeviceRecord{}));
    ::close(fd);
}

void Server::do_replug() {
    for (auto& s : slots_) {
        dirov_sim_face face = s->board->face();
        sim::bootloader_restart(*s->board, face == DIROV_SIM_FACE_ABSENT ? opt_.face : face,
                                opt_.replug_ms);
        std::lock_guard lk(s->mu);
        if (s->fd >= 0) ::shutdown(s->fd, SHUT_RDWR);
        say("board " + s->busid + " unplugged");
    }
}

bool Server::run() {
    bool ok = true;
    if (opt_.attach) {
        for (auto& s : slots_) {
            int fd = self_attach(*s);
            ok = ok && fd >= 0;
            if (fd < 0) continue;
            std::lock_guard lk(s->mu);
            s->active = true;
            s->thread = std::thread([this, slot = s.get(), fd] { serve_slot(*slot, fd); });
        }
    }
    while (ok && !stopping_.load()) {
        pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) continue;
        if (p[1].revents) {
            char c[16];
            ssize_t n = ::read(wake_[0], c, sizeof c);
            for (ssize_t i = 0; i < n; ++i)
                if (c[i] == 'r') do_replug();
        }
        if (p[0].revents & POLLIN) {
            int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) handle_op(fd);
        }
    }
    stopping_.store(true);
    {
        std::lock_guard lk(mu_);
        stop_cv_.notify_all();
    }
    for (auto& s : slots_) {
        {
            std::lock_guard lk(s->mu);
            if (s->fd >= 0) ::shutdown(s->fd, SHUT_RDWR);
        }
        if (s->thread.joinable()) s->thread.join();
    }
    return ok;
}

}  // namespace dirov::usbip
