// The simulated board: one device with two faces (bootloader, main
// firmware), endpoint queues and control requests. It knows nothing of how it
// is reached: the simulated transport carries host calls to it, and an
// emulated usbfs device can carry the same calls.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/transport.h"
#include "dirov410_sim.h"
#include "sim/stream.h"

namespace dirov::sim {

class Board;

// What one face answers. Models run with the board's lock NOT held; they
// queue IN transfers with Board::push_in and may change the face.
class FaceModel {
   public:
    virtual ~FaceModel() = default;
    // A bulk OUT transfer from the host.
    virtual void on_bulk_out(Board&, uint8_t /*ep*/, const uint8_t* /*data*/, uint32_t /*len*/) {}
    // A control request. 0 with *done set, or 31 (ERROR_GEN_FAILURE) to stall.
    virtual uint32_t on_control(Board&, const SetupPacket&, uint8_t* /*data*/, uint32_t /*len*/,
                                uint32_t* /*done*/) {
        return 31;
    }
    // A stream read on `ep` found nothing queued: the model may produce the
    // next transfer now. False: nothing now (the read waits for push_in).
    virtual bool next_stream_transfer(Board&, uint8_t /*ep*/, std::vector<uint8_t>& /*out*/) {
        return false;
    }
};

std::unique_ptr<FaceModel> make_main_firmware(Board& board);
std::unique_ptr<FaceModel> make_bootloader(Board& board);

// Control requests to the main firmware's face (its run-time DFU interface
// and the vendor requests it shares with the bootloader).
uint32_t main_face_control(Board& board, const SetupPacket& setup, uint8_t* data, uint32_t len,
                           uint32_t* done);

class Board {
   public:
    Board(int index, const dirov_sim_config& cfg);
    ~Board();

    int index() const { return index_; }
    const dirov_sim_config& config() const { return cfg_; }
    std::string serial() const { return serial_; }

    // ---- enumeration ----
    dirov_sim_face face();  // the face shown now (ABSENT while re-enumerating)
    // Interfaces the current face presents.
    bool presents(const GUID& guid);
    std::string path_for(const GUID& guid) const;
    // The interface that shows `guid` on the current face, or -1.
    int interface_for(const GUID& guid);
    // Bumped at every face change; handles opened before go stale.
    uint32_t generation();
    void set_face(dirov_sim_face face, uint32_t delay_ms);
    void detach();
    bool detached();

    // ---- host side (called by a transport) ----
    uint32_t bulk_out(uint32_t gen, uint8_t ep, const uint8_t* data, uint32_t len);
    // Every opened host handle is a session; reads belong to the session
    // that posted them, so a closed handle never takes data meant for a
    // later one.
    uint64_t open_session();
    // Ends the session's stream read on `ep` with 995; `ep` 0 closes the
    // session: its reads end and every later read of it fails.
    void cancel(uint64_t session, uint8_t ep);
    uint32_t bulk_in(uint32_t gen, uint64_t session, uint8_t ep, uint8_t* buf, uint32_t cap,
                     uint32_t* got);
    uint32_t stream_submit(uint32_t gen, uint64_t session, uint8_t ep, uint8_t* buf, uint32_t len);
    uint32_t stream_wait(uint32_t gen, uint64_t session, uint8_t ep, bool wait, uint32_t* got);
    uint32_t abort_pipe(uint32_t gen, uint64_t session, uint8_t ep);
    uint32_t flush_pipe(uint32_t gen, uint8_t ep);
    uint32_t control(uint32_t gen, const SetupPacket& s, uint8_t* data, uint32_t len,
                     uint32_t* done);
    uint32_t get_descriptor(uint32_t gen, uint8_t type, uint8_t index, uint16_t lang, uint8_t* buf,
                            uint32_t len, uint32_t* done);
    // Non-blocking take of one queued IN transfer (for usbfs emulation).
    bool try_take_in(uint8_t ep, std::vector<uint8_t>& out);

    // ---- board side (called by face models and tests) ----
    void push_in(uint8_t ep, std::vector<uint8_t> transfer);
    uint32_t pending_in(uint8_t ep);
    void set_firmware_replies(bool on);
    void set_silent(bool on);
    // Wakes a stream read waiting for data (a generator has some now).
    void kick_stream();
    // Waits up to `us` of real time while a stream read is posted on `ep`.
    // False when the read is aborted or the board goes away first.
    bool wait_stream(uint8_t ep, uint64_t us);

    // Version of the main firmware the board runs (changed by an upgrade).
    uint32_t firmware_version() const { return firmware_version_.load(); }
    void set_firmware_version(uint32_t v) { firmware_version_.store(v); }

    // The main firmware's stream source on pipe 0x82.
    StreamGenerator& stream() { return stream_gen_; }
    FaceModel& main_firmware() { return *main_; }
    FaceModel& bootloader() { return *boot_; }

   private:
    struct StreamRead {
        uint8_t* buf = nullptr;
        uint32_t len = 0;
        bool pending = false;
        bool aborted = false;
        uint64_t owner = 0;  // the session that posted it
    };

    void update_face_locked();
    bool stale_locked(uint32_t gen);
    FaceModel* model_locked();
    void reset_endpoints_locked();
    // 0 when the read on `ep` is this open session's to serve, else the
    // error its wait ends with.
    uint32_t stream_owner_check_locked(uint64_t session, const StreamRead& st);

    const int index_;
    dirov_sim_config cfg_;
    std::string serial_;
    std::unique_ptr<FaceModel> main_;
    std::unique_ptr<FaceModel> boot_;
    StreamGenerator stream_gen_;
    std::atomic<uint32_t> firmware_version_;

    std::mutex mu_;
    std::condition_variable cv_;
    dirov_sim_face face_;
    dirov_sim_face next_face_ = DIROV_SIM_FACE_ABSENT;
    uint64_t shown_at_ms_ = 0;  // next_face_ shows from this time on
    bool switching_ = false;
    bool detached_ = false;
    bool firmware_replies_ = true;
    bool silent_ = false;  // reads of pipe 0x81 and control requests wait unanswered
    uint32_t generation_ = 1;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> in_;
    std::map<uint8_t, StreamRead> stream_;
    // Bumped by abort_pipe: a synchronous read waiting on the pipe ends
    // aborted, as an aborted pipe's pending transfers do.
    std::map<uint8_t, uint64_t> aborts_;
    uint64_t wake_seq_ = 0;  // bumped by every event a waiting read must see
    uint64_t next_session_ = 0;
    std::set<uint64_t> sessions_;  // open ones
    // The last stream transfer's buffer, handed to the next one: a generator
    // refills it in place instead of allocating 20 KB per transfer.
    std::vector<uint8_t> stream_spare_;
};

// All attached boards, in attach order.
std::vector<std::shared_ptr<Board>> boards();
std::shared_ptr<Board> board_by_serial(const std::string& serial);

// Record of host actions (see dirov_sim_event).
void record(dirov_sim_event ev, const uint8_t* data, uint32_t len);
// Fault injection: the error to fail this call of `op` with, or 0.
uint32_t injected_fault(dirov_sim_op op);

// The transport backend over the attached boards (sim_transport.cpp),
// installed ahead of real USB when the first board is attached.
extern const TransportOps transport_ops;

}  // namespace dirov::sim
