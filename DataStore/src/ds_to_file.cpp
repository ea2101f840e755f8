// The save thread: writes every packet published while it runs to a file, in
// publication order, as raw bytes, optionally up to a byte limit.
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "DataStore/src/data_store.h"
#include "DataStore/src/ds_log.h"
#include "DataStore/src/packet_queue.h"
#include "platform/file_ops.h"
#include "platform/platform.h"

namespace dirov {
namespace {

// An unforced stop of a limited save waits for the limit as long as packets
// keep coming; once the stream has been idle this long it forces the stop.
constexpr auto kLimitIdle = std::chrono::milliseconds(1000);

// The packets published to the save thread and not yet written; the one
// being written stays counted until it is dealt with.
int32_t SavePendingPkts = 0;
PacketQueue save_queue{SavePendingPkts};
// Raised by every new pending packet and every stop request: the save
// thread waits on it for either.
int32_t save_events = 0;
std::atomic<bool> saver_exists{false};
// Packets handed to the save thread and packets it has dealt with, since it
// started; an unforced stop waits for the packets handed up to its call.
int64_t save_handed = 0;
int64_t save_done = 0;
int64_t save_stop_after = -1;  // the thread ends once save_done reaches it; -1: no such stop
// Who frees the records of a thread stopped from a packet callback, which
// cannot wait for it: the thread itself, unless it had already ended.
enum SaverEnd : int32_t { kSaverRunning, kSaverDetached, kSaverEnded };
std::atomic<int32_t> saver_end_state{kSaverRunning};
SaveArgs* saver_handle = nullptr;
// Set by the save thread once its callback is registered (or has failed):
// CreateSaveThread returns only then, so that no packet published after it
// returns is missed.
int32_t saver_ready = 0;
std::mutex end_lock;
std::condition_variable end_cv;

int32_t saver_pending() {
    return save_queue.pending();
}
int32_t load_int(int32_t& field) {
    return std::atomic_ref(field).load();
}

void raise_events() {
    std::atomic_ref events(save_events);
    events.fetch_add(1);
    wake_all(save_events);
}

void SaveNewPktCb(DataPacket* packet) {
    save_queue.push(packet);
    std::atomic_ref(save_handed).fetch_add(1);
    raise_events();
}

bool stop_point_reached() {
    int64_t after = std::atomic_ref(save_stop_after).load();
    return after >= 0 && std::atomic_ref(save_done).load() >= after;
}

void store_status(SaveThreadArgs* args, int32_t status) {
    {
        std::lock_guard lk(end_lock);
        std::atomic_ref(args->status).store(status);
    }
    end_cv.notify_all();
}

class Saver {
   public:
    explicit Saver(SaveThreadArgs* args) : args_(args), remaining_(args->byteLimit) {}
    bool limit_reached() const { return args_->byteLimit != 0 && remaining_ <= 0; }
    int32_t write_loop();
    void finish_save(int32_t status);

   private:
    bool stop_wanted() const { return load_int(args_->stop) != 0 || stop_point_reached(); }
    void wait_work() const;
    void finish_packet(DataPacket* packet);
    int32_t Write(DataPacket* packet);

    SaveThreadArgs* args_;
    int32_t remaining_;
    int64_t size_ = 0;  // bytes in the file: whole packets only
};

void Saver::wait_work() const {
    std::atomic_ref events(save_events);
    for (;;) {
        int32_t seen = events.load();
        if (saver_pending() != 0 || stop_wanted()) return;
        wait_while_equal(save_events, seen);
    }
}

// The packet is dealt with: its lock goes and it no longer counts as pending.
void Saver::finish_packet(DataPacket* packet) {
    DecPktLock(packet);
    save_queue.finish();
    std::atomic_ref(save_done).fetch_add(1);
    raise_events();
}

// One open, append and close per packet, so each packet's bytes are complete
// in the file once its close returns. Plain system calls: a stdio stream per
// packet costs an allocation and a copy through its buffer.
int open_output(const char* name) {
    return files::open_for_append(name);
}

// The count written before the first failure (errno then tells why).
int32_t write_all(int fd, const uint8_t* data, int32_t n) {
    int32_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, data + done, static_cast<size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w == 0) errno = ENOSPC;
        if (w <= 0) break;
        done += static_cast<int32_t>(w);
    }
    return done;
}

// 1 to go on, otherwise the status to finish with. A packet that cannot be
// written whole ends the save as a failure, and what landed of it is cut
// off again, so the file holds whole packets only (the byte limit aside).
int32_t Saver::Write(DataPacket* packet) {
    int32_t n = packet->size > 0 ? packet->size : 0;
    if (args_->byteLimit != 0 && n > remaining_) n = remaining_;
    int fd = open_output(args_->fileName);
    if (fd < 0) {
        int e = errno;
        DS_ERROR("Failed to open output file %s: %s (errno %d)\n", args_->fileName,
                 std::strerror(e), e);
        return -1;
    }
    DS_INFO("Saving packet");
    int32_t written = write_all(fd, packet->data, n);
    int e = errno;
    bool whole = written == n;
    if (!whole && ftruncate(fd, static_cast<off_t>(size_)) != 0)
        DS_ERROR("Failed to cut %s back to its last whole packet\n", args_->fileName);
    if (close(fd) != 0 && errno != EINTR && whole) {
        e = errno;
        whole = false;
    }
    if (!whole) {
        DS_ERROR("Failed to write output file %s: %s (errno %d)\n", args_->fileName,
                 std::strerror(e), e);
        return -1;
    }
    size_ += written;
    remaining_ -= written;
    return limit_reached() ? 0 : 1;
}

int32_t Saver::write_loop() {
    for (;;) {
        wait_work();
        if (stop_wanted()) {
            DS_INFO("Save thread stopping");
            return 0;
        }
        DataPacket* packet = save_queue.pop(false);  // counted until finish_packet
        int32_t result = Write(packet);
        finish_packet(packet);
        if (result != 1) return result;
    }
}

void Saver::finish_save(int32_t status) {
    if (UnregisterPktNotify(SaveNewPktCb) == -1) DS_ERROR("Failed to unregister callback\n");
    DS_INFO("Save done: remove (%d) leftover packets\n", saver_pending());
    while (DataPacket* packet = save_queue.pop()) {
        DecPktLock(packet);
        DS_INFO("Packet number decreased to %d", saver_pending());
    }
    store_status(args_, status);
}

void force_stop(SaveThreadArgs* args) {
    DS_INFO("Forcing stop on save thread");
    std::atomic_ref(args->stop).store(1);
    raise_events();
}

// The thread ends once it has dealt with every packet handed to it so far.
void set_stop_point() {
    std::atomic_ref(save_stop_after).store(std::atomic_ref(save_handed).load());
    raise_events();
}

void wait_ended(SaveThreadArgs* args) {
    std::unique_lock lk(end_lock);
    end_cv.wait(lk, [&] { return load_int(args->status) <= 0; });
}

// True once the thread has ended by itself; false when the stream went idle
// before its byte limit was written.
bool wait_limited_end(SaveThreadArgs* args) {
    std::unique_lock lk(end_lock);
    int32_t seen = load_int(save_events);
    for (;;) {
        if (end_cv.wait_for(lk, kLimitIdle, [&] { return load_int(args->status) <= 0; }))
            return true;
        int32_t now = load_int(save_events);
        if (now == seen && saver_pending() <= 0) return false;
        seen = now;
    }
}

void stop_unforced(SaveThreadArgs* args) {
    DS_INFO("Waiting for save to use the data\n");
    if (args->byteLimit == 0) {
        set_stop_point();
        wait_ended(args);
        DS_INFO("Data gone now stop the thread\n");
        force_stop(args);
        return;
    }
    bool ended = wait_limited_end(args);
    DS_INFO("Data gone now stop the thread\n");
    if (!ended) {
        DS_INFO("Stream idle before the byte limit was written");
        force_stop(args);
    }
}

int32_t join_and_free(SaveArgs* handle) {
    pthread_join(handle->thread, nullptr);
    int32_t status = load_int(handle->args->status);
    std::free(handle->args);
    std::free(handle);
    saver_exists.store(false);
    return status;
}

// A packet callback holds the registration lock that the thread's finish
// needs: it cannot wait, so the thread ends by itself and frees its records.
int32_t stop_from_callback(SaveArgs* handle, int32_t force) {
    if (force == 0)
        set_stop_point();
    else
        force_stop(handle->args);
    if (saver_end_state.exchange(kSaverDetached) == kSaverEnded) return join_and_free(handle);
    pthread_detach(handle->thread);
    return 0;
}

// The thread's last step: when nobody will join it, it frees its records.
void end_saver(SaveThreadArgs* args) {
    if (saver_end_state.exchange(kSaverEnded) != kSaverDetached) return;
    std::free(args);
    std::free(saver_handle);
    saver_exists.store(false);
    wake_all(saver_exists);
}

// A thread stopped from a callback is on its way out: a new save waits for
// it rather than being refused (a callback cannot wait, so it is refused).
void wait_for_detached_saver() {
    if (!in_publication() && saver_end_state.load() == kSaverDetached)
        wait_while_equal(saver_exists, true);
}

SaveArgs* start_saver(const char* fileName, int32_t byteLimit) {
    auto* handle = static_cast<SaveArgs*>(std::malloc(sizeof(SaveArgs)));
    if (!handle) {
        DS_ERROR("Failed to make space for save args args\n");
        return nullptr;
    }
    auto* args = static_cast<SaveThreadArgs*>(std::calloc(1, sizeof(SaveThreadArgs)));
    if (!args) {
        DS_ERROR("Failed to make space for save thread args\n");
        std::free(handle);
        return nullptr;
    }
    std::strcpy(args->fileName, fileName);
    args->byteLimit = byteLimit;
    args->status = 1;
    handle->args = args;
    std::atomic_ref(save_handed).store(0);
    std::atomic_ref(save_done).store(0);
    std::atomic_ref(save_stop_after).store(-1);
    saver_end_state.store(kSaverRunning);
    saver_handle = handle;
    std::atomic_ref ready(saver_ready);
    ready.store(0);
    if (pthread_create(&handle->thread, nullptr, DsSaveThread, args) != 0) {
        DS_ERROR("Thread creation failed\n");
        std::free(args);
        std::free(handle);
        return nullptr;
    }
    // A packet callback holds the lock the registration needs: from there
    // the thread registers once the callback has returned.
    if (!in_publication()) wait_while_equal(saver_ready, 0);
    return handle;
}

}  // namespace
}  // namespace dirov

using namespace dirov;

extern "C" {

DIROV_API SaveArgs* CreateSaveThread(const char* fileName, int32_t byteLimit) {
    if (!fileName) {
        DS_ERROR("Failed to open output file for writing\n");
        return nullptr;
    }
    if (std::strlen(fileName) + 1 > DIROV_SAVE_NAME_SIZE) {
        DS_ERROR("Filename is to long to store\n");
        return nullptr;
    }
    // The cursor and the pending count are single: the slot is claimed
    // before the file is touched, so a refused call leaves a running save's
    // file alone.
    wait_for_detached_saver();
    if (saver_exists.exchange(true)) {
        DS_ERROR("A save thread is already running\n");
        return nullptr;
    }
    // A FIFO or a device would block or never end; a folder cannot be
    // written: only a regular file (or a new one) is saved to.
    struct stat st;
    if (stat(fileName, &st) == 0 && !S_ISREG(st.st_mode)) {
        saver_exists.store(false);
        DS_ERROR("Cannot save to %s: not a regular file\n", fileName);
        return nullptr;
    }
    FILE* file = std::fopen(fileName, "w");
    if (!file) {
        int e = errno;
        saver_exists.store(false);
        DS_ERROR("Failed to open output file %s for writing: %s (errno %d)\n", fileName,
                 std::strerror(e), e);
        return nullptr;
    }
    std::fclose(file);
    SaveArgs* handle = start_saver(fileName, byteLimit);
    if (!handle) saver_exists.store(false);
    return handle;
}

DIROV_API void* DsSaveThread(void* arg) {
    auto* args = static_cast<SaveThreadArgs*>(arg);
    std::atomic_ref(args->status).store(1);
    raise_own_priority(kDataPathNice);
    bool registered = RegisterPktNotify(SaveNewPktCb) != -1;
    if (!registered) {
        DS_ERROR("Failed to register callback\n");
        store_status(args, -1);
    }
    std::atomic_ref ready(saver_ready);
    ready.store(1);
    wake_all(saver_ready);
    if (registered) {
        Saver saver(args);
        int32_t status = saver.limit_reached() ? 0 : saver.write_loop();
        saver.finish_save(status);
    }
    end_saver(args);
    return args;
}

DIROV_API int32_t StopSaveThread(SaveArgs* handle, int32_t force) {
    if (!handle || !handle->args) return -1;
    if (in_publication()) return stop_from_callback(handle, force);
    if (force == 0)
        stop_unforced(handle->args);
    else
        force_stop(handle->args);
    return join_and_free(handle);
}

DIROV_API int32_t SaveThreadRunning(SaveArgs* handle) {
    if (!handle || !handle->args) return -1;
    return load_int(handle->args->status) > 0 ? 0 : -1;
}

}  // extern "C"
