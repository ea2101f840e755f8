// Carries transport calls to simulated boards, recording each call and
// applying injected faults before the board sees it.
#include <cstring>

#include "device/transport.h"
#include "platform/platform.h"
#include "sim/board.h"

namespace dirov {
namespace {

using sim::Board;

struct SimHandle {
    std::shared_ptr<Board> board;
    uint32_t generation;
    uint64_t session;
    uint8_t interface;  // the interface the handle is bound to
};

SimHandle& handle(BackendDevice dev) {
    return *static_cast<SimHandle*>(dev);
}

dirov_sim_event event(dirov_sim_event_kind kind, const SimHandle* h) {
    dirov_sim_event ev{};
    ev.kind = kind;
    ev.board = h ? h->board->index() : -1;
    return ev;
}

bool sim_active() {
    return !sim::boards().empty();
}

uint32_t sim_find_path(const GUID& guid, uint32_t index, std::string& path) {
    uint32_t e = sim::injected_fault(DIROV_SIM_OP_FIND_PATH);
    if (e == kErrorSuccess) {
        e = kErrorNoMoreItems;
        for (auto& b : sim::boards()) {
            if (b->presents(guid) && index-- == 0) {
                path = b->path_for(guid);
                e = kErrorSuccess;
                break;
            }
        }
    }
    dirov_sim_event ev = event(DIROV_SIM_EV_FIND, nullptr);
    ev.value = e;
    sim::record(ev, nullptr, 0);
    return e;
}

// Paths look like \\?\usb#vid_1d50&pid_6410#SERIAL#{GUID}.
bool parse_path(const char* path, std::string& serial, std::string& guid) {
    std::string p = path ? path : "";
    size_t g = p.rfind('#');
    if (g == std::string::npos || g == 0) return false;
    size_t s = p.rfind('#', g - 1);
    if (s == std::string::npos) return false;
    serial = p.substr(s + 1, g - s - 1);
    guid = p.substr(g + 1);
    return true;
}

std::shared_ptr<Board> board_for_path(const char* path, uint8_t* interface) {
    std::string serial, guid;
    if (!parse_path(path, serial, guid)) return nullptr;
    for (auto& b : sim::boards()) {
        if (b->serial() != serial) continue;
        for (const GUID* g : {&GUID_DEVINTERFACE_HX4104, &GUID_DFU_MAIN_INTERFACE}) {
            if (guid_text(*g) != guid || !b->presents(*g)) continue;
            *interface = static_cast<uint8_t>(b->interface_for(*g));
            return b;
        }
    }
    return nullptr;
}

uint32_t sim_open(const char* path, BackendDevice* dev, OpenStage* stage) {
    *stage = OpenStage::kFile;
    uint32_t e = sim::injected_fault(DIROV_SIM_OP_OPEN_FILE);
    std::shared_ptr<Board> b;
    uint8_t interface = 0;
    if (e == kErrorSuccess) {
        b = board_for_path(path, &interface);
        if (!b) e = kErrorFileNotFound;
    }
    if (e == kErrorSuccess) {
        *stage = OpenStage::kInterface;
        e = sim::injected_fault(DIROV_SIM_OP_OPEN_INTERFACE);
    }
    dirov_sim_event ev = event(DIROV_SIM_EV_OPEN, nullptr);
    ev.board = b ? b->index() : -1;
    ev.value = e;
    sim::record(ev, reinterpret_cast<const uint8_t*>(path), path ? std::strlen(path) : 0);
    if (e != kErrorSuccess) return e;
    *dev = new SimHandle{b, b->generation(), b->open_session(), interface};
    return kErrorSuccess;
}

// Below the transport's fault injection: a cancel cannot fail.
void sim_cancel(BackendDevice dev, uint8_t ep) {
    SimHandle& h = handle(dev);
    h.board->cancel(h.session, ep);
    if (ep == 0) sim::record(event(DIROV_SIM_EV_CLOSE, &h), nullptr, 0);
}

void sim_close(BackendDevice dev) {
    delete static_cast<SimHandle*>(dev);
}

uint32_t sim_bulk_write(BackendDevice dev, uint8_t ep, const uint8_t* buf, uint32_t len,
                        uint32_t* done) {
    SimHandle& h = handle(dev);
    uint32_t e = sim::injected_fault(DIROV_SIM_OP_BULK_WRITE);
    dirov_sim_event ev = event(DIROV_SIM_EV_OUT, &h);
    ev.ep = ep;
    ev.value = e;
    sim::record(ev, buf, len);
    if (e == kErrorSuccess) e = h.board->bulk_out(h.generation, ep, buf, len);
    *done = e == kErrorSuccess ? len : 0;
    return e;
}

uint32_t sim_bulk_read(BackendDevice dev, uint8_t ep, uint8_t* buf, uint32_t len, uint32_t* done) {
    SimHandle& h = handle(dev);
    uint32_t e = sim::injected_fault(DIROV_SIM_OP_BULK_READ);
    if (e == kErrorSuccess) e = h.board->bulk_in(h.generation, h.session, ep, buf, len, done);
    dirov_sim_event ev = event(DIROV_SIM_EV_IN, &h);
    ev.ep = ep;
    ev.value = e;
    sim::record(ev, buf, e == kErrorSuccess ? *done : 0);
    return e;
}

uint32_t sim_stream_submit(BackendDevice dev, uint8_t ep, uint8_t* buf, uint32_t len,
                           uint32_t* /*done*/) {
    SimHandle& h = handle(dev);
    uint32_t e = sim::injected_fault(DIROV_SIM_OP_STREAM_SUBMIT);
    return e != kErrorSuccess ? e : h.board->stream_submit(h.generation, h.session, ep, buf, len);
}

uint32_t sim_stream_wait(BackendDevice dev, uint8_t ep, bool wait, uint32_t* done) {
    SimHandle& h = handle(dev);
    uint32_t e = sim::injected_fault(DIROV_SIM_OP_STREAM_WAIT);
    return e != kErrorSuccess ? e : h.board->stream_wait(h.generation, h.session, ep, wait, done);
}

uint32_t sim_abort_pipe(BackendDevice dev, uint8_t ep) {
    SimHandle& h = handle(dev);
    dirov_sim_event ev = event(DIROV_SIM_EV_ABORT, &h);
    ev.ep = ep;
    sim::record(ev, nullptr, 0);
    uint32_t e = sim::injected_fault(DIROV_SIM_OP_ABORT);
    return e != kErrorSuccess ? e : h.board->abort_pipe(h.generation, h.session, ep);
}

uint32_t sim_flush_pipe(BackendDevice dev, uint8_t ep) {
    SimHandle& h = handle(dev);
    dirov_sim_event ev = event(DIROV_SIM_EV_FLUSH, &h);
    ev.ep = ep;
    sim::record(ev, nullptr, 0);
    uint32_t e = sim::injected_fault(DIROV_SIM_OP_FLUSH);
    return e != kErrorSuccess ? e : h.board->flush_pipe(h.generation, ep);
}

uint32_t sim_control(BackendDevice dev, const SetupPacket& setup, uint8_t* buf, uint32_t len,
                     uint32_t* done) {
    SimHandle& h = handle(dev);
    // As WinUSB does, a standard or class request to an interface goes to
    // the interface the handle is bound to.
    SetupPacket s = setup;
    if ((s.bmRequestType & 0x1F) == 1 && (s.bmRequestType & 0x60) != 0x40)
        s.wIndex = static_cast<uint16_t>((s.wIndex & 0xFF00) | h.interface);
    dirov_sim_event ev = event(DIROV_SIM_EV_CONTROL, &h);
    ev.bmRequestType = s.bmRequestType;
    ev.bRequest = s.bRequest;
    ev.wValue = s.wValue;
    ev.wIndex = s.wIndex;
    ev.wLength = s.wLength;
    bool out = (s.bmRequestType & 0x80) == 0;
    uint32_t e = sim::injected_fault(DIROV_SIM_OP_CONTROL);
    if (e == kErrorSuccess) e = h.board->control(h.generation, s, buf, len, done);
    ev.value = e;
    sim::record(ev, out ? buf : nullptr, out ? len : 0);
    return e;
}

uint32_t sim_get_descriptor(BackendDevice dev, uint8_t type, uint8_t index, uint16_t lang,
                            uint8_t* buf, uint32_t len, uint32_t* done) {
    SimHandle& h = handle(dev);
    dirov_sim_event ev = event(DIROV_SIM_EV_DESCRIPTOR, &h);
    ev.wValue = static_cast<uint16_t>(type << 8 | index);
    ev.wIndex = lang;
    ev.wLength = static_cast<uint16_t>(len);
    uint32_t e = sim::injected_fault(DIROV_SIM_OP_DESCRIPTOR);
    if (e == kErrorSuccess)
        e = h.board->get_descriptor(h.generation, type, index, lang, buf, len, done);
    ev.value = e;
    sim::record(ev, nullptr, 0);
    return e;
}

}  // namespace

const TransportOps sim::transport_ops = {
    .name = "sim",
    .active = sim_active,
    .find_path = sim_find_path,
    .open = sim_open,
    .close = sim_close,
    .bulk_write = sim_bulk_write,
    .bulk_read = sim_bulk_read,
    .stream_submit = sim_stream_submit,
    .stream_wait = sim_stream_wait,
    .abort_pipe = sim_abort_pipe,
    .flush_pipe = sim_flush_pipe,
    .control_transfer = sim_control,
    .get_descriptor = sim_get_descriptor,
    .cancel = sim_cancel,
};

}  // namespace dirov
