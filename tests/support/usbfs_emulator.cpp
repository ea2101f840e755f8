#include "support/usbfs_emulator.h"

// clang-format off
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
// clang-format on
#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/platform.h"
#include "sim/bus.h"

namespace dirov::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* kBoardSyspath = "/sys/devices/usb1/1-2/1-2.3";
constexpr int kFirstAddress = 5;
// How long a reap waits for a URB to finish before saying EAGAIN. The
// emulated node always polls ready, so this keeps libusb's event loop from
// spinning while nothing happens. The reap that ends a batch (libusb reaps
// until EAGAIN) answers at once; only a second empty reap in a row waits.
constexpr auto kReapWait = std::chrono::milliseconds(1);
// A hub's device and configuration descriptors.
const Bytes kHubDescriptors = {18, 1, 0, 2, 9, 0,  1, 64, 0x6B, 0x1D, 2,    0, 0, 1, 0,
                               0,  0, 1, 9, 2, 25, 0, 1,  1,    0,    0xE0, 0, 9, 4, 0,
                               0,  1, 9, 0, 0, 0,  7, 5,  0x81, 3,    4,    0, 12};

std::string node_name(int devnum) {
    char name[32];
    std::snprintf(name, sizeof name, "bus/usb/001/%03d", devnum);
    return name;
}

std::string device_entry(const std::string& path, const std::string& name, int devnum,
                         const Bytes& descriptors) {
    std::string node = node_name(devnum);
    std::string hex;
    for (uint8_t v : descriptors) hex += {"0123456789ABCDEF"[v >> 4], "0123456789ABCDEF"[v & 15]};
    return "P: /devices/" + path + "\nN: " + node + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" +
           "E: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=" + node.substr(node.size() - 3) +
           "\nE: DEVNAME=/dev/" + node + "\nA: busnum=1\\n\nA: devnum=" + std::to_string(devnum) +
           "\\n\nA: bConfigurationValue=1\\n\nA: speed=480\\n\nA: sysname=" + name +
           "\\n\nH: descriptors=" + hex + "\n\n";
}

int urb_status(uint32_t e) {
    if (e == kErrorSuccess) return 0;
    if (e == kErrorGenFailure) return -EPIPE;
    return e == kErrorDeviceNotConnected ? -ENODEV : -EPROTO;
}

// A URB as umockdev resolved it from the caller's memory: `data` is a copy
// that umockdev writes back to the caller, in the caller's thread, when the
// ioctl that hands it over completes. A buffer resolved at submit time stays
// with its URB until the reap, as umockdev keeps children linked to their
// parent.
struct UrbRef {
    UMockdevIoctlData* data = nullptr;    // owned reference
    UMockdevIoctlData* buffer = nullptr;  // owned reference, or none yet
    void release() const {
        if (buffer) g_object_unref(buffer);
        g_object_unref(data);
    }
    usbdevfs_urb* urb() const { return reinterpret_cast<usbdevfs_urb*>(data->data); }
};

struct Finished {
    UrbRef ref;
    int status = 0;
    int actual = 0;
    Bytes data;  // IN data to copy back, after the setup packet of a control URB
};

// Data chunks resolved while handling one ioctl; umockdev copies them back to
// the caller when the ioctl completes, so they live until then.
struct Call {
    std::vector<UMockdevIoctlData*> held;
    ~Call() {
        for (auto* d : held) g_object_unref(d);
    }
    UMockdevIoctlData* resolve(UMockdevIoctlData* parent, size_t offset, size_t len) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(parent, offset, len, nullptr);
        if (d) held.push_back(d);
        return d;
    }
};

}  // namespace

struct UsbfsEmulator::Impl {
    // The library's clock, watched: after every sleep the bus shows the
    // board as it is then, as a host that waited for re-enumeration finds it.
    struct Watch final : Clock {
        Impl* self = nullptr;
        Clock* inner = nullptr;
        uint64_t now_ms() override { return inner->now_ms(); }
        void sleep_ms(uint32_t ms) override {
            inner->sleep_ms(ms);
            self->follow_board();
        }
    };

    // URBs belong to the file handle they were submitted on, as in usbfs.
    struct Queues {
        std::string node;                               // the device node the handle was opened on
        std::map<uint8_t, std::deque<UrbRef>> pending;  // IN URBs waiting for data
        std::deque<Finished> finished;
        bool drained = false;        // the last reap found nothing
        std::set<unsigned> claimed;  // interfaces
    };

    std::shared_ptr<sim::Board> board;
    sim::MsOsVersion ms_os = sim::MsOsVersion::kV2;
    // Made once the members they serve are: umockdev starts its thread.
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    Watch watch;
    bool ok = false;

    mutable std::mutex mu;
    std::condition_variable cv;
    std::map<UMockdevIoctlClient*, Queues> clients;
    bool unplugged = false;
    // The node the board shows now (empty while it is absent), the board
    // generation it stands for and the descriptors of its face.
    std::string node;
    uint32_t node_gen = 0;
    std::shared_ptr<const sim::UsbDescriptors> desc;
    int address = kFirstAddress - 1;  // the last address given

    std::mutex topology;  // one re-enumeration at a time

    ~Impl() {
        for (auto& [client, c] : clients) release(c);
        g_object_unref(handler);
        g_object_unref(testbed);
    }

    static gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        static_cast<Impl*>(self)->handle(client);
        return TRUE;
    }

    void handle(UMockdevIoctlClient* client) {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        gulong req = umockdev_ioctl_client_get_request(client);
        Call call;
        int err = ENOTTY;
        if (req == USBDEVFS_GET_CAPABILITIES) err = capabilities(call, arg);
        if (req == USBDEVFS_SUBMITURB) err = submit(client, arg);
        if (req == USBDEVFS_REAPURB || req == USBDEVFS_REAPURBNDELAY) err = reap(client, call, arg);
        if (req == USBDEVFS_DISCARDURB)
            err = discard(client, *reinterpret_cast<usbdevfs_urb**>(arg->data));
        if (req == USBDEVFS_GETDRIVER || req == USBDEVFS_IOCTL) err = ENODATA;
        // No kernel driver is bound: a claim needs only the interface free.
        if (req == USBDEVFS_CLAIMINTERFACE || req == USBDEVFS_DISCONNECT_CLAIM ||
            req == USBDEVFS_RELEASEINTERFACE) {
            UMockdevIoctlData* n = call.resolve(arg, 0, sizeof(unsigned));
            unsigned number = 0;
            if (n) std::memcpy(&number, n->data, sizeof number);
            std::lock_guard lk(mu);
            Queues& c = queues_locked(client);
            err = !n                                 ? EFAULT
                  : !live_locked(c)                  ? ENODEV
                  : req != USBDEVFS_RELEASEINTERFACE ? claim_locked(client, number)
                  : c.claimed.erase(number)          ? 0
                                                     : EINVAL;
        }
        umockdev_ioctl_client_complete(client, err ? -1 : 0, err);
    }

    // Whether the handle's node still shows the board: a face change takes
    // it away even before the bus is rescanned.
    bool live_locked(const Queues& c) {
        return !unplugged && !node.empty() && c.node == node && board->generation() == node_gen;
    }

    // As usbfs: an interface of the device that no other handle holds.
    int claim_locked(UMockdevIoctlClient* client, unsigned number) {
        if (number > 255 || !desc || !sim::config_has_interface(desc->config, uint8_t(number)))
            return ENOENT;
        for (auto& [other, c] : clients)
            if (other != client && c.node == node && c.claimed.count(number)) return EBUSY;
        clients[client].claimed.insert(number);
        return 0;
    }

    // A handle closed on an old node may leave its client's address to a
    // handle on the new one: that is a new handle.
    Queues& queues_locked(UMockdevIoctlClient* client) {
        const char* devnode = umockdev_ioctl_client_get_devnode(client);
        Queues& c = clients[client];
        if (c.node != devnode) {
            release(c);
            c = Queues{};
            c.node = devnode;
        }
        return c;
    }

    static void release(Queues& c) {
        for (auto& [ep, q] : c.pending)
            for (auto& r : q) r.release();
        for (auto& f : c.finished) f.ref.release();
    }

    // The device went away: URBs in flight end with -ENODEV.
    static void retire_locked(Queues& c) {
        for (auto& [ep, q] : c.pending) {
            for (const UrbRef& r : q) c.finished.push_back(Finished{r, -ENODEV, 0, {}});
            q.clear();
        }
    }

    static int capabilities(Call& call, UMockdevIoctlData* arg) {
        UMockdevIoctlData* caps = call.resolve(arg, 0, sizeof(uint32_t));
        if (!caps) return EFAULT;
        uint32_t v = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
                     USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                     USBDEVFS_CAP_ZERO_PACKET;
        std::memcpy(caps->data, &v, sizeof v);
        return 0;
    }

    int submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        UrbRef ref;
        ref.data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
        if (!ref.data) return EFAULT;
        const usbdevfs_urb& urb = *ref.urb();
        bool bulk_in = urb.type == USBDEVFS_URB_TYPE_BULK && (urb.endpoint & 0x80);
        if (!bulk_in && urb.buffer_length > 0)
            ref.buffer =
                umockdev_ioctl_data_resolve(ref.data, offsetof(usbdevfs_urb, buffer),
                                            static_cast<size_t>(urb.buffer_length), nullptr);
        int e = submit_urb(client, ref, urb, bulk_in);
        if (e) ref.release();
        return e;
    }

    // Takes `ref` over unless it fails. Bulk IN URBs wait for data; the
    // others finish at once.
    int submit_urb(UMockdevIoctlClient* client, const UrbRef& ref, const usbdevfs_urb& urb,
                   bool bulk_in) {
        uint8_t* data = ref.buffer ? ref.buffer->data : nullptr;
        if (urb.buffer_length < 0) return EINVAL;
        if (!bulk_in && urb.buffer_length > 0 && !data) return EFAULT;
        std::unique_lock lk(mu);
        Queues& c = queues_locked(client);
        if (!live_locked(c)) return ENODEV;
        if (bulk_in) {
            c.pending[urb.endpoint].push_back(ref);
            return 0;
        }
        std::shared_ptr<const sim::UsbDescriptors> d = desc;
        uint32_t gen = node_gen;
        // usbfs claims an interface that a standard or class request names
        // for the handle that did not (with a warning), or refuses it.
        if (urb.type == USBDEVFS_URB_TYPE_CONTROL && urb.buffer_length >= 8 &&
            (data[0] & 0x1F) == 1 && (data[0] & 0x60) != 0x40 && !c.claimed.count(data[4]))
            if (int e = claim_locked(client, data[4])) return e;
        lk.unlock();
        Finished f{ref, 0, urb.buffer_length, {}};
        if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
            if (urb.buffer_length < 8 || !control(*d, gen, data, urb.buffer_length, f))
                return EINVAL;
        } else if (urb.type == USBDEVFS_URB_TYPE_BULK) {
            f.status = urb_status(
                board->bulk_out(gen, urb.endpoint, data, static_cast<uint32_t>(urb.buffer_length)));
        } else {
            return EINVAL;
        }
        if (f.status) f.actual = 0;
        lk.lock();
        c.finished.push_back(std::move(f));
        cv.notify_all();
        return 0;
    }

    // False when the setup packet asks for more than the URB carries.
    bool control(const sim::UsbDescriptors& desc, uint32_t gen, const uint8_t* p, int length,
                 Finished& f) {
        SetupPacket s{p[0], p[1], static_cast<uint16_t>(p[2] | p[3] << 8),
                      static_cast<uint16_t>(p[4] | p[5] << 8),
                      static_cast<uint16_t>(p[6] | p[7] << 8)};
        if (s.wLength > length - 8) return false;
        bool in = s.bmRequestType & 0x80;
        f.data.resize(s.wLength);
        if (!in && s.wLength) std::memcpy(f.data.data(), p + 8, s.wLength);
        uint32_t done = 0;
        uint32_t e = sim::bus_control(*board, desc, gen, s, f.data.data(), &done);
        f.data.resize(in && e == kErrorSuccess ? done : 0);
        f.status = urb_status(e);
        f.actual = static_cast<int>(done);
        return true;
    }

    bool next_in(uint8_t ep, Bytes& t) {
        if (board->try_take_in(ep, t)) return true;
        dirov_sim_face face = board->face();
        if (face == DIROV_SIM_FACE_ABSENT) return false;
        sim::FaceModel& model =
            face == DIROV_SIM_FACE_MAIN ? board->main_firmware() : board->bootloader();
        return model.next_stream_transfer(*board, ep, t);
    }

    // Gives queued board transfers to the IN URBs waiting, oldest first, and
    // takes the next URB to hand back.
    bool take_locked(Queues& c, Finished& f) {
        for (auto& [ep, q] : c.pending) {
            Bytes t;
            while (!q.empty() && next_in(ep, t)) {
                int cap = q.front().urb()->buffer_length;
                bool overflow = static_cast<int>(t.size()) > cap;
                if (overflow) t.resize(static_cast<size_t>(cap));
                int n = static_cast<int>(t.size());
                c.finished.push_back(
                    Finished{q.front(), overflow ? -EOVERFLOW : 0, n, std::move(t)});
                q.pop_front();
                t = Bytes{};
            }
        }
        if (c.finished.empty()) return false;
        f = std::move(c.finished.front());
        c.finished.pop_front();
        return true;
    }

    int reap(UMockdevIoctlClient* client, Call& call, UMockdevIoctlData* arg) {
        Finished f;
        {
            std::unique_lock lk(mu);
            Queues& c = queues_locked(client);
            if (!live_locked(c)) retire_locked(c);
            if (!take_locked(c, f)) {
                if (!live_locked(c)) return ENODEV;
                if (c.drained) cv.wait_for(lk, kReapWait);
                c.drained = !take_locked(c, f);
                if (c.drained) return live_locked(c) ? EAGAIN : ENODEV;
            }
            c.drained = false;
        }
        // Released once written back, after the ioctl completes.
        call.held.push_back(f.ref.data);
        if (f.ref.buffer) call.held.push_back(f.ref.buffer);
        UMockdevIoctlData* ptr = call.resolve(arg, 0, sizeof(void*));
        if (!ptr) return EFAULT;
        umockdev_ioctl_data_set_ptr(ptr, 0, f.ref.data);
        f.ref.urb()->status = f.status;
        f.ref.urb()->actual_length = f.actual;
        if (f.data.empty()) return 0;
        UMockdevIoctlData* buf = f.ref.buffer;
        if (!buf) buf = call.resolve(f.ref.data, offsetof(usbdevfs_urb, buffer), f.data.size());
        if (!buf) return EFAULT;
        size_t at = f.ref.urb()->type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0;
        std::memcpy(buf->data + at, f.data.data(), f.data.size());
        return 0;
    }

    int discard(UMockdevIoctlClient* client, usbdevfs_urb* addr) {
        std::lock_guard lk(mu);
        Queues& c = queues_locked(client);
        for (auto& [ep, q] : c.pending) {
            for (auto it = q.begin(); it != q.end(); ++it) {
                if (reinterpret_cast<usbdevfs_urb*>(it->data->client_addr) != addr) continue;
                c.finished.push_back(Finished{*it, -ENOENT, 0, {}});
                q.erase(it);
                cv.notify_all();
                return 0;
            }
        }
        return EINVAL;
    }

    // The board's generation and face, read together.
    dirov_sim_face current(uint32_t& gen) {
        for (;;) {
            gen = board->generation();
            dirov_sim_face face = board->face();
            if (board->generation() == gen) return face;
        }
    }

    // A face change or reset takes the node away; the face that comes back
    // enumerates anew on the same port, at the next address.
    void follow_board() {
        std::lock_guard tl(topology);
        uint32_t gen = 0;
        dirov_sim_face face = current(gen);
        {
            std::lock_guard lk(mu);
            if (unplugged || (!node.empty() && node_gen == gen)) return;
        }
        remove_node();
        if (face != DIROV_SIM_FACE_ABSENT) add_node(face, gen);
    }

    void remove_node() {
        {
            std::lock_guard lk(mu);
            if (node.empty()) return;
            for (auto& [client, c] : clients) retire_locked(c);
            node.clear();
            cv.notify_all();
        }
        umockdev_testbed_uevent(testbed, kBoardSyspath, "remove");
        umockdev_testbed_remove_device(testbed, kBoardSyspath);
    }

    // Adding the device sends its "add" uevent; libusb takes it in at its
    // next device list.
    bool add_node(dirov_sim_face face, uint32_t gen) {
        auto d = std::make_shared<const sim::UsbDescriptors>(
            sim::usb_descriptors(board->config(), face, ms_os));
        Bytes raw = d->device;
        raw.insert(raw.end(), d->config.begin(), d->config.end());
        int addr = address + 1;
        std::string path = "/dev/" + node_name(addr);
        std::string entry = device_entry("usb1/1-2/1-2.3", "1-2.3", addr, raw);
        if (!umockdev_testbed_add_from_string(testbed, entry.c_str(), nullptr) ||
            !umockdev_testbed_attach_ioctl(testbed, path.c_str(), handler, nullptr))
            return false;
        std::lock_guard lk(mu);
        node = path;
        address = addr;
        node_gen = gen;
        desc = std::move(d);
        return true;
    }
};

UsbfsEmulator::UsbfsEmulator(std::shared_ptr<sim::Board> board, sim::MsOsVersion ms_os)
    : impl_(std::make_unique<Impl>()) {
    Impl& m = *impl_;
    m.board = std::move(board);
    m.ms_os = ms_os;
    std::string hubs = device_entry("usb1", "usb1", 1, kHubDescriptors) +
                       device_entry("usb1/1-2", "1-2", 4, kHubDescriptors);
    m.testbed = umockdev_testbed_new();
    m.handler = umockdev_ioctl_base_new();
    g_signal_connect(m.handler, "handle-ioctl", G_CALLBACK(&Impl::on_ioctl), &m);
    uint32_t gen = 0;
    dirov_sim_face face = m.current(gen);
    m.ok = umockdev_testbed_add_from_string(m.testbed, hubs.c_str(), nullptr) &&
           (face == DIROV_SIM_FACE_ABSENT || m.add_node(face, gen));
    m.watch.self = &m;
    m.watch.inner = &clock();
    set_clock(&m.watch);
}

UsbfsEmulator::~UsbfsEmulator() {
    Impl& m = *impl_;
    set_clock(m.watch.inner);
    // libusb keeps its device list for the process: the board leaves it.
    std::lock_guard tl(m.topology);
    {
        std::lock_guard lk(m.mu);
        m.unplugged = true;
    }
    m.remove_node();
}

sim::Board& UsbfsEmulator::board() {
    return *impl_->board;
}

bool UsbfsEmulator::ok() const {
    return impl_->ok;
}

uint64_t UsbfsEmulator::outstanding_urbs() const {
    std::lock_guard lk(impl_->mu);
    uint64_t n = 0;
    for (const auto& [client, c] : impl_->clients) {
        n += c.finished.size();
        for (const auto& [ep, q] : c.pending) n += q.size();
    }
    return n;
}

#if defined(__SANITIZE_THREAD__)
// GLib and libudev synchronise their threads in ways ThreadSanitizer cannot
// see, so accesses made inside them and umockdev are left out. The
// emulator's and the library's own accesses are instrumented and checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libudev.so.1\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libumockdev.so.0\n"
           "race:g_rec_mutex_clear\n";
}
#endif

std::shared_ptr<sim::Board> make_board(dirov_sim_face face) {
    dirov_sim_config cfg;
    dirov_sim_config_init(&cfg);
    cfg.face = face;
    return std::make_shared<sim::Board>(0, cfg);
}

}  // namespace dirov::test
