// dirov410-usbip's server over a loopback socket, as a USB/IP client sees
// it: the operation phase (list, import, refusals, garbage), then URBs of
// the imported board (descriptors, the wIndex rule, bulk pipes, an unlink)
// until a DFU detach takes the board off the bus and its new face is offered.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "sim/usbip/protocol.h"
#include "sim/usbip/server.h"

namespace dirov::usbip {
namespace {

struct Client {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    explicit Client(uint16_t port) {
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Client() { ::close(fd); }
    void send(const Bytes& b) { ASSERT_EQ(::send(fd, b.data(), b.size(), 0), ssize_t(b.size())); }
    Bytes recv(size_t n) {  // fewer bytes when the server closes first
        Bytes b(n);
        size_t got = 0;
        for (ssize_t r; got < n && (r = ::recv(fd, b.data() + got, n - got, 0)) > 0;)
            got += size_t(r);
        b.resize(got);
        return b;
    }
};

constexpr uint32_t kAny = ~0u;  // any length

uint32_t be32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

Bytes op(uint16_t code, const std::string& busid = "") {
    Bytes b = {0x01, 0x11, uint8_t(code >> 8), uint8_t(code), 0, 0, 0, 0};
    if (code == kOpReqImport)
        b.resize(8 + kBusIdSize), busid.copy(reinterpret_cast<char*>(&b[8]), 31);
    return b;
}

Bytes submit(uint32_t seq, uint32_t dir, uint32_t ep, uint32_t len, Bytes setup, Bytes out = {}) {
    Bytes b(kCommandSize);
    for (auto [at, v] : {std::pair{0, kCmdSubmit}, {4, seq}, {12, dir}, {16, ep}, {24, len}})
        for (int i = 0; i < 4; ++i) b[size_t(at + i)] = uint8_t(v >> (24 - 8 * i));
    setup.resize(8);
    std::copy(setup.begin(), setup.end(), b.begin() + 40);
    b.insert(b.end(), out.begin(), out.end());
    return b;
}

TEST(UsbipServer, OperationsThenUrbsUntilTheBoardLeaves) {
    ServerOptions opt;
    opt.port = 0;
    opt.serials = {"DRV410-0001", "DRV410-0002"};
    Server server(opt);
    ASSERT_EQ(server.listen(), "");
    std::thread run([&] { server.run(); });
    auto list = [&] {
        Client c(server.port());
        c.send(op(kOpReqDevlist));
        Bytes r = c.recv(1 << 12);
        return r.size() >= 12 ? be32(r, 8) : 99;
    };
    EXPECT_EQ(list(), 2u);
    {
        Client garbage(server.port());
        garbage.send({'G', 'E', 'T', ' ', '/', '\r', '\n', '\n'});
        EXPECT_EQ(garbage.recv(8).size(), 0u) << "closed without a reply";
        Client unknown(server.port());
        unknown.send(op(kOpReqImport, "1-9"));
        EXPECT_EQ(be32(unknown.recv(8), 4), 1u);
    }
    Client c(server.port());
    c.send(op(kOpReqImport, "1-1"));
    Bytes r = c.recv(8 + kDeviceRecordSize);
    ASSERT_EQ(r.size(), 8 + kDeviceRecordSize);
    EXPECT_EQ(be32(r, 4), 0u);
    EXPECT_EQ(list(), 1u) << "the imported board is no longer offered";
    const struct {
        Bytes request;
        int32_t status;
        uint32_t actual;
        Bytes data;  // the start of the IN data
    } urbs[] = {
        {submit(1, kDirIn, 0, 18, {0x80, 6, 0, 1, 0, 0, 18}), 0, 18, {18, 1, 0x10, 2}},
        {submit(2, kDirIn, 0, 64, {0xC0, 0x20, 0, 0, 7, 0, 64}), 0, 64, {10, 0, 0, 0}},
        {submit(3, kDirIn, 0, 1, {0xA1, 5, 0, 0, 0, 0, 1}), -EPIPE, 0, {}},  // vendor interface
        {submit(4, kDirIn, 0, 1, {0xA1, 5, 0, 0, 1, 0, 1}), 0, 1, {0}},      // appIDLE
        {submit(5, kDirIn, 3, 512, {}), -EPIPE, 0, {}},                      // no such pipe
        {submit(6, kDirOut, 1, 12, {},
                {'S', 'Y', 'S', ':', 'V', 'E', 'R', 'S', 'I', 'O', 'N', '\n'}),
         0,
         12,
         {}},
        {submit(7, kDirIn, 1, 512, {}), 0, 9, {'I', 'S', 'T', 'A', 'T'}},
        {submit(70, kDirIn, 1, 512, {}), 0, kAny, {'S', 'Y', 'S', ':'}},  // the reply
        {submit(8, kDirIn, 2, 8, {}), 0, 8, {0, 0, 0, 0, 1, 0, 0, 0}},    // the counter
    };
    for (const auto& u : urbs) {
        c.send(u.request);
        Bytes reply = c.recv(kCommandSize);
        ASSERT_EQ(reply.size(), kCommandSize);
        SCOPED_TRACE(be32(reply, 4));
        EXPECT_EQ(int32_t(be32(reply, 20)), u.status);
        uint32_t actual = be32(reply, 24);
        EXPECT_TRUE(u.actual == kAny || actual == u.actual) << actual;
        Bytes data = c.recv(u.request[15] == kDirIn ? actual : 0);
        data.resize(std::min(data.size(), u.data.size()));
        EXPECT_EQ(data, u.data);
    }
    c.send(submit(9, kDirIn, 1, 512, {}));  // a reply that never comes, unlinked
    Bytes unlink = submit(10, 0, 0, 0, {});
    unlink[3] = kCmdUnlink, unlink[23] = 9;
    c.send(unlink);
    Bytes reply = c.recv(kCommandSize);
    EXPECT_EQ(be32(reply, 0) << 8 | be32(reply, 4), kRetUnlink << 8 | 10);
    EXPECT_EQ(int32_t(be32(reply, 20)), -ECONNRESET);
    c.send(submit(11, kDirOut, 0, 0, {0x21, 0, 100, 0, 1, 0, 0}));  // DFU_DETACH
    EXPECT_EQ(c.recv(kCommandSize).size(), kCommandSize);
    EXPECT_EQ(c.recv(1).size(), 0u) << "the board left the bus";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // its absence, 200 ms
    EXPECT_EQ(list(), 2u) << "the bootloader face is offered";
    server.stop();
    run.join();

    opt.port = server.port();
    Server twice(opt);
    EXPECT_NE(twice.listen().find("Address already in use"), std::string::npos);
    opt.host = "localhost";
    Server named(opt);
    EXPECT_NE(named.listen().find("not an IPv4 or IPv6 address"), std::string::npos);
}

}  // namespace
}  // namespace dirov::usbip
