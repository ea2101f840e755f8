// Real USB through libusb-1.0. Discovery matches device-interface GUIDs the
// way Windows does (MS OS 2.0 descriptors from the BOS, then MS OS 1.0
// extended properties, then the DIROV410_GUID_MAP environment variable), and
// every operation reports the Windows error code WinUSB would give.
// Paths name the port (usb_path.h).
//
// Events are handled on whichever thread waits (libusb's own scheme for
// several waiting threads), so an idle library runs no thread of its own.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device/backends/libusb/libusb_backend.h"
#include "device/backends/libusb/libusb_errors.h"
#include "device/backends/libusb/usb_path.h"
#include "device/msos_descriptors.h"
#include "platform/byte_order.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace dirov::libusb_backend {
namespace {

// Descriptor requests while looking for the board.
constexpr unsigned kDiscoveryTimeoutMs = 300;
constexpr int kMaxPortDepth = 7;

// Why no board can be reached, said the way Linux puts it rather than as a
// missing Windows driver: no usbfs at all (at each discovery that finds
// nothing, which then ends at once), or a device node the user may not open
// (once per device and process, not at every retry of a discovery).
void report_no_usbfs(int error) {
    if (access("/dev/bus/usb", F_OK) != 0)
        DIROV_LOG_E(
            "No USB access: /dev/bus/usb does not exist (no usbfs; a container needs the "
            "host's /dev/bus/usb)\n");
    else if (error != LIBUSB_SUCCESS)
        DIROV_LOG_E("No USB access: libusb cannot start: %s\n", libusb_strerror(error));
}

}  // namespace

// One context for the process, made on first use and kept: the library has
// no unload hook, and devices opened later share its event handling.
const ContextState& context() {
    static ContextState* state = [] {
        auto* s = new ContextState;
        s->error = libusb_init(&s->ctx);
        if (s->error != LIBUSB_SUCCESS) s->ctx = nullptr;
        return s;
    }();
    return *state;
}

void report_no_permission(libusb_device* dev) {
    static std::mutex mu;
    static std::set<std::pair<int, int>> said;
    int bus = libusb_get_bus_number(dev), address = libusb_get_device_address(dev);
    std::lock_guard lk(mu);
    if (!said.insert({bus, address}).second) return;
    libusb_device_descriptor dd{};
    libusb_get_device_descriptor(dev, &dd);
    DIROV_LOG_E(
        "Permission denied opening USB device %04x:%04x (/dev/bus/usb/%03d/%03d): "
        "install the udev rule 70-dirov410.rules for these ids\n",
        dd.idVendor, dd.idProduct, bus, address);
}

using DeviceList = std::unique_ptr<libusb_device*, void (*)(libusb_device**)>;

DeviceList device_list(libusb_context* ctx, ssize_t& count) {
    libusb_device** list = nullptr;
    count = libusb_get_device_list(ctx, &list);
    return DeviceList(count < 0 ? nullptr : list,
                      [](libusb_device** l) { libusb_free_device_list(l, 1); });
}

namespace {

bool contains(const std::vector<GUID>& guids, const GUID& g) {
    return std::any_of(guids.begin(), guids.end(), [&](const GUID& x) { return guid_equal(x, g); });
}

}  // namespace

// Bus and port path, e.g. "1-2.3".
std::string location(libusb_device* dev) {
    uint8_t ports[kMaxPortDepth];
    int n = libusb_get_port_numbers(dev, ports, kMaxPortDepth);
    std::string s = std::to_string(libusb_get_bus_number(dev)) + "-";
    if (n <= 0) return s + "0";
    for (int i = 0; i < n; ++i) {
        if (i) s.push_back('.');
        s.append(std::to_string(ports[i]));
    }
    return s;
}

namespace {

int active_configuration(libusb_device* dev) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != LIBUSB_SUCCESS) return 1;
    int value = cfg->bConfigurationValue;
    libusb_free_config_descriptor(cfg);
    return value;
}

// The descriptor requests of one look at a device's Microsoft OS
// descriptors, with a short time-out: a device that does not answer at once
// is not the board, and must not stretch the callers' retry budgets. Any
// failure other than a stall leaves the outcome open (`unsure`).
struct Probe {
    libusb_device_handle* h;
    bool unsure = false;

    int control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                size_t len) {
        int r = libusb_control_transfer(h, type, request, value, index, data,
                                        static_cast<uint16_t>(len), kDiscoveryTimeoutMs);
        if (r < 0 && r != LIBUSB_ERROR_PIPE) unsure = true;
        return r;
    }
    int descriptor(uint8_t type, uint8_t index, uint16_t lang, uint8_t* data, size_t len) {
        return control(LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                       static_cast<uint16_t>(type << 8 | index), lang, data, len);
    }
};

bool read_bos(Probe& p, std::vector<uint8_t>& bos) {
    uint8_t head[5];
    if (p.descriptor(LIBUSB_DT_BOS, 0, 0, head, sizeof head) != sizeof head) return false;
    size_t total = load_le16(head + 2);
    if (total < sizeof head || total > kControlMaxLength) return false;
    bos.resize(total);
    return p.descriptor(LIBUSB_DT_BOS, 0, 0, bos.data(), total) == static_cast<int>(total);
}

bool ms20_function(Probe& p, const GUID& guid, int& interface) {
    std::vector<uint8_t> bos;
    msos::Ms20Capability cap;
    if (!read_bos(p, bos) || !msos::find_ms20_capability(bos.data(), bos.size(), cap)) return false;
    if (cap.set_length > kControlMaxLength) return false;
    std::vector<uint8_t> set(cap.set_length);
    int r = p.control(0xC0, cap.vendor_code, 0, msos::kMs20DescriptorIndex, set.data(), set.size());
    std::vector<msos::FunctionGuids> functions;
    if (r < 0 || !msos::parse_ms20_set(set.data(), static_cast<size_t>(r), functions)) return false;
    for (const auto& f : functions) {
        if (!contains(f.guids, guid)) continue;
        interface = f.interface < 0 ? 0 : f.interface;
        return true;
    }
    return false;
}

bool ms10_interface_has(Probe& p, uint8_t code, int iface, const GUID& guid) {
    uint8_t head[10];
    uint16_t value = static_cast<uint16_t>(iface << 8);
    int r = p.control(0xC1, code, value, msos::kMs10ExtendedPropertiesIndex, head, sizeof head);
    if (r != sizeof head) return false;
    uint32_t total = load_le32(head);
    if (total < sizeof head || total > kControlMaxLength) return false;
    std::vector<uint8_t> d(total);
    r = p.control(0xC1, code, value, msos::kMs10ExtendedPropertiesIndex, d.data(), d.size());
    std::vector<GUID> guids;
    return r > 0 && msos::parse_ms10_properties(d.data(), static_cast<size_t>(r), guids) &&
           contains(guids, guid);
}

bool ms10_function(Probe& p, const libusb_config_descriptor& cfg, const GUID& guid,
                   int& interface) {
    uint8_t s[18];
    uint8_t code = 0;
    int r = p.descriptor(LIBUSB_DT_STRING, msos::kMs10StringIndex, 0, s, sizeof s);
    if (r < static_cast<int>(sizeof s) || !msos::parse_ms10_string(s, sizeof s, code)) return false;
    for (int i = 0; i < cfg.bNumInterfaces; ++i) {
        if (cfg.interface[i].num_altsetting < 1) continue;
        int number = cfg.interface[i].altsetting[0].bInterfaceNumber;
        if (!ms10_interface_has(p, code, number, guid)) continue;
        interface = number;
        return true;
    }
    return false;
}

bool mapped_function(const libusb_device_descriptor& dd, const GUID& guid, int& interface) {
    const char* text = std::getenv("DIROV410_GUID_MAP");
    std::vector<msos::GuidMapEntry> map;
    if (!text || !msos::parse_guid_map(text, map)) return false;
    for (const auto& e : map) {
        if (!guid_equal(e.guid, guid) || e.vendor_id != dd.idVendor || e.product_id != dd.idProduct)
            continue;
        interface = e.interface;
        return true;
    }
    return false;
}

// WinUSB serves vendor-specific interfaces, and the board's bootloader
// shows a DFU interface: only devices with one of these can be the board.
bool has_board_interface(const libusb_config_descriptor& cfg) {
    for (int i = 0; i < cfg.bNumInterfaces; ++i) {
        for (int a = 0; a < cfg.interface[i].num_altsetting; ++a) {
            const libusb_interface_descriptor& d = cfg.interface[i].altsetting[a];
            if (d.bInterfaceClass == LIBUSB_CLASS_VENDOR_SPEC ||
                (d.bInterfaceClass == LIBUSB_CLASS_APPLICATION && d.bInterfaceSubClass == 1))
                return true;
        }
    }
    return false;
}

using ConfigPtr = std::unique_ptr<libusb_config_descriptor, void (*)(libusb_config_descriptor*)>;

// The active configuration as the system cached it at enumeration: reading
// it sends nothing to the device.
ConfigPtr cached_config(libusb_device* dev) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != LIBUSB_SUCCESS) cfg = nullptr;
    return ConfigPtr(cfg, libusb_free_config_descriptor);
}

// Devices that were read and found not to present a GUID, for the life of
// the process, so that retries never ask them again. The key holds the
// address and release numbers besides the port, so a device that
// re-enumerates (the board changing face) or a new device on the same port
// is read afresh.
class Unmatched {
   public:
    static std::string key(libusb_device* dev, const libusb_device_descriptor& dd,
                           const GUID& guid) {
        char ids[48];
        std::snprintf(ids, sizeof ids, "@%u/%04x:%04x:%04x:%04x#", libusb_get_device_address(dev),
                      dd.idVendor, dd.idProduct, dd.bcdDevice, dd.bcdUSB);
        return location(dev) + ids + guid_text(guid);
    }
    bool has(const std::string& k) {
        std::lock_guard lk(mu_);
        return keys_.count(k) != 0;
    }
    void add(const std::string& k) {
        std::lock_guard lk(mu_);
        keys_.insert(k);
    }

   private:
    std::mutex mu_;
    std::set<std::string> keys_;
};

Unmatched& unmatched() {
    static Unmatched* u = new Unmatched;  // kept: the library has no unload hook
    return *u;
}

// Reads the device's Microsoft OS descriptors through `h` for `guid`.
bool read_function(libusb_device_handle* h, const libusb_device_descriptor& dd,
                   const libusb_config_descriptor& cfg, const GUID& guid, int& interface,
                   bool& unsure) {
    Probe p{h};
    bool found = (dd.bcdUSB >= 0x0201 && ms20_function(p, guid, interface)) ||
                 ms10_function(p, cfg, guid, interface);
    unsure = p.unsure;
    return found;
}

}  // namespace

bool presents(libusb_device* dev, libusb_device_handle* h, const GUID& guid, int& interface) {
    libusb_device_descriptor dd;
    if (libusb_get_device_descriptor(dev, &dd) != LIBUSB_SUCCESS) return false;
    if (mapped_function(dd, guid, interface)) return true;
    ConfigPtr cfg = cached_config(dev);
    if (!cfg || !has_board_interface(*cfg)) return false;
    std::string key = Unmatched::key(dev, dd, guid);
    if (unmatched().has(key)) return false;
    libusb_device_handle* own = nullptr;
    if (!h) {
        int r = libusb_open(dev, &own);
        if (r == LIBUSB_ERROR_ACCESS) report_no_permission(dev);
        if (r != LIBUSB_SUCCESS) return false;  // not ours to read
    }
    bool unsure = false;
    bool found = read_function(h ? h : own, dd, *cfg, guid, interface, unsure);
    if (own) libusb_close(own);
    if (!found && !unsure) unmatched().add(key);
    return found;
}

namespace {

std::string make_path(libusb_device* dev, int interface, const GUID& guid) {
    return format_usb_path(location(dev), active_configuration(dev), interface, guid);
}

}  // namespace

uint32_t find_path(const GUID& guid, uint32_t index, std::string& path) {
    const ContextState& c = context();
    // No usbfs at all on this machine: no board can be present.
    if (!c.ctx) {
        report_no_usbfs(c.error);
        return c.error == LIBUSB_ERROR_OTHER ? kErrorNoMoreItems : win_error_from_libusb(c.error);
    }
    ssize_t n = 0;
    DeviceList list = device_list(c.ctx, n);
    if (n < 0) return win_error_from_libusb(static_cast<int>(n));
    for (ssize_t i = 0; i < n; ++i) {
        int interface = 0;
        if (!presents(list.get()[i], nullptr, guid, interface) || index-- != 0) continue;
        path = make_path(list.get()[i], interface, guid);
        return kErrorSuccess;
    }
    report_no_usbfs(LIBUSB_SUCCESS);
    return kErrorNoMoreItems;
}

}  // namespace dirov::libusb_backend
