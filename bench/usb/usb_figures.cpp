// Figures of the library against plain libusb on the same board, in the
// guest that scripts/usb/run.sh boots (one run, no pass or fail):
//   usb_figures SERIAL
// capture throughput of the library's capture worker against a plain
// asynchronous libusb reader with as many transfers in flight, and a command
// round trip against raw bulk transfers.
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dirov410.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kStreamBytes = 32 << 20;
constexpr int kTransfers = 6;  // the capture worker's reads in flight
constexpr int kRoundTrips = 200;
constexpr int kTransferSize = 20480;

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double ratio(double a, double b) {
    return b > 0 ? a / b : 0;
}

libusb_device_handle* raw_open(libusb_context* ctx, const char* serial) {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* found = nullptr;
    for (ssize_t i = 0; i < n && !found; ++i) {
        libusb_device_descriptor d;
        libusb_device_handle* h = nullptr;
        if (libusb_get_device_descriptor(list[i], &d) || d.idProduct != 0x6410 ||
            libusb_open(list[i], &h))
            continue;
        unsigned char s[64] = {};
        libusb_get_string_descriptor_ascii(h, d.iSerialNumber, s, sizeof s);
        if (std::strcmp(reinterpret_cast<char*>(s), serial) == 0 &&
            libusb_claim_interface(h, 0) == 0)
            found = h;
        else
            libusb_close(h);
    }
    libusb_free_device_list(list, 1);
    return found;
}

struct RawReader {
    uint64_t bytes = 0;
    int in_flight = 0;
    bool error = false;
    static void done(libusb_transfer* t) {
        auto* r = static_cast<RawReader*>(t->user_data);
        r->error |= t->status != LIBUSB_TRANSFER_COMPLETED;
        r->bytes += static_cast<uint64_t>(t->actual_length);
        if (!r->error && r->bytes < kStreamBytes && libusb_submit_transfer(t) == 0) return;
        --r->in_flight;
    }
};

// MB/s of a plain asynchronous reader of pipe 0x82.
double raw_stream(libusb_context* ctx, libusb_device_handle* h) {
    RawReader r;
    std::vector<std::vector<uint8_t>> bufs(kTransfers, std::vector<uint8_t>(kTransferSize));
    std::vector<libusb_transfer*> ts;
    auto t0 = Clock::now();
    for (auto& b : bufs) {
        libusb_transfer* t = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(t, h, 0x82, b.data(), kTransferSize, RawReader::done, &r, 5000);
        ts.push_back(t);
        r.in_flight += libusb_submit_transfer(t) == 0;
    }
    while (r.in_flight > 0) libusb_handle_events(ctx);
    double s = since(t0);
    for (auto* t : ts) libusb_free_transfer(t);
    return r.error ? 0 : static_cast<double>(r.bytes) / s / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: usb_figures SERIAL\n");
        return 2;
    }
    dirov_select_device(argv[1]);
    if (Hx410DItfOpen().ConnState != 2) {
        std::fprintf(stderr, "usb_figures: no main firmware on %s\n", argv[1]);
        return 1;
    }
    std::vector<double> lib, raw, raw2;
    for (int i = 0; i < kRoundTrips; ++i) {
        auto t = Clock::now();
        CommandReply* r = usb_comms(_GetWinUsbHandle(), "SYS:VERSION\n", 0, nullptr);
        lib.push_back(since(t) * 1e3);
        if (r) std::free(r->Data);
        std::free(r);
    }
    uint64_t got = 0;
    auto t0 = Clock::now();
    if (StartCaptureWorker() == 0) {
        for (DataPacket* p; got < kStreamBytes && (p = GetNextPacket());)
            got += static_cast<uint64_t>(p->size);
        StopCaptureWorker();
    }
    double lib_mbs = static_cast<double>(got) / since(t0) / 1e6;
    CloseDevice(_GetDeviceData());  // the interface is the plain reader's now

    libusb_context* ctx = nullptr;
    libusb_device_handle* d = libusb_init(&ctx) == 0 ? raw_open(ctx, argv[1]) : nullptr;
    double raw_mbs = 0;
    for (int i = 0; d && i < kRoundTrips; ++i) {
        uint8_t cmd[] = "SYS:VERSION\n", in[512];
        int n = 0;
        auto t = Clock::now();
        libusb_bulk_transfer(d, 0x01, cmd, sizeof cmd - 1, &n, 1000);
        libusb_bulk_transfer(d, 0x81, in, sizeof in, &n, 1000);
        raw.push_back(since(t) * 1e3);
        libusb_bulk_transfer(d, 0x81, in, sizeof in, &n, 1000);  // the reply after the ack
        raw2.push_back(since(t) * 1e3);
    }
    if (d) {
        raw_mbs = raw_stream(ctx, d);
        libusb_release_interface(d, 0);
        libusb_close(d);
    }
    if (ctx) libusb_exit(ctx);
    std::printf(
        "FIGURE capture: library %.1f MB/s, plain libusb reader (%d x %d B in flight) "
        "%.1f MB/s, ratio %.2f\n",
        lib_mbs, kTransfers, kTransferSize, raw_mbs, ratio(lib_mbs, raw_mbs));
    std::printf(
        "FIGURE command round trip (median of %d): library %.2f ms; raw bulk OUT+IN "
        "%.2f ms, ratio %.2f; raw OUT+IN+IN (ack and reply, as the library reads) "
        "%.2f ms, ratio %.2f\n",
        kRoundTrips, median(lib), median(raw), ratio(median(lib), median(raw)), median(raw2),
        ratio(median(lib), median(raw2)));
    return d ? 0 : 1;
}
