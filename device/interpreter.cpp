#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/reply.h"
#include "device/usb.h"
#include "dirov410.h"
#include "platform/log.h"
#include "platform/platform.h"

using namespace dirov;

namespace {

constexpr uint32_t kAckSize = 128;
constexpr uint32_t kReplySize = 1024;
constexpr const char* kAckText = "ISTAT OK";

// The last refusal this thread received: "COMMAND: text" of a CSTAT reply
// other than "OK".
thread_local char last_refusal[2 * sizeof(CommandReply::Command) + 2];

void note_reply(const CommandReply* r) {
    if (std::strcmp(r->Type, "CSTAT") == 0 && std::strcmp(r->Error, "OK") != 0)
        std::snprintf(last_refusal, sizeof last_refusal, "%s: %s", r->Command, r->Error);
}

bool parts_valid(int32_t partCount, const PayloadPart* parts) {
    uint64_t size = 0;
    for (int32_t i = 0; i < partCount; ++i) {
        if (!parts[i].Data && parts[i].Length) return false;
        size += parts[i].Length;
    }
    return size <= UINT32_MAX / 2;
}

// Command text followed by every payload part, as one OUT transfer.
uint8_t* build_command(const char* command, int32_t partCount, const PayloadPart* parts,
                       uint32_t* total) {
    uint64_t size = std::strlen(command);
    for (int32_t i = 0; i < partCount; ++i) size += parts[i].Length;
    if (size > UINT32_MAX) return nullptr;
    auto* buf = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (!buf) return nullptr;
    size_t at = std::strlen(command);
    std::memcpy(buf, command, at);
    for (int32_t i = 0; i < partCount; ++i) {
        if (parts[i].Length) std::memcpy(buf + at, parts[i].Data, parts[i].Length);
        at += parts[i].Length;
    }
    *total = static_cast<uint32_t>(size);
    return buf;
}

bool read_transfer(WINUSB_INTERFACE_HANDLE h, char* buf, uint32_t size, uint32_t* got) {
    if (!usb_read_pipe(h, kPipeReplyIn, buf, size, got)) {
        DIROV_LOG_E("ReadPipe Error: %lu\n", static_cast<unsigned long>(last_error()));
        return false;
    }
    buf[*got] = '\0';
    return true;
}

CommandReply* exchange(WINUSB_INTERFACE_HANDLE h, const uint8_t* cmd, uint32_t total) {
    if (!usb_write_pipe(h, kPipeCommandOut, cmd, total, nullptr)) {
        DIROV_LOG_E("WritePipe Error: %lu\n", static_cast<unsigned long>(last_error()));
        return nullptr;
    }
    char ack[kAckSize + 1];
    uint32_t got = 0;
    if (!read_transfer(h, ack, kAckSize, &got)) return nullptr;
    if (!std::strstr(ack, kAckText)) return nullptr;
    char reply[kReplySize + 1];
    if (!read_transfer(h, reply, kReplySize, &got)) return nullptr;
    auto* rec = static_cast<CommandReply*>(std::malloc(sizeof(CommandReply)));
    if (!rec) {
        DIROV_LOG_E("Error allocating reply memory.\n");
        return nullptr;
    }
    parse_reply_bytes(reply, got, rec);
    note_reply(rec);
    return rec;
}

}  // namespace

extern "C" {

DIROV_API CommandReply* usb_comms(WINUSB_INTERFACE_HANDLE handle, const char* command,
                                  int32_t partCount, const PayloadPart* parts) {
    last_refusal[0] = '\0';
    if (!command || (partCount > 0 && (!parts || !parts_valid(partCount, parts)))) {
        set_last_error(kErrorInvalidParameter);
        return nullptr;
    }
    uint32_t total = 0;
    uint8_t* cmd = build_command(command, partCount > 0 ? partCount : 0, parts, &total);
    if (!cmd) {
        DIROV_LOG_E("Failed to allocate memory.\n");
        return nullptr;
    }
    CommandReply* rec = exchange(handle, cmd, total);
    std::free(cmd);
    return rec;
}

DIROV_API int32_t dirov_set_timeout(uint32_t ms) {
    if (usb_set_timeout(ms)) return 0;
    set_last_error(kErrorInvalidParameter);
    return -1;
}

DIROV_API uint32_t dirov_get_timeout(void) {
    return usb_timeout();
}

DIROV_API const char* dirov_get_last_refusal(void) {
    return last_refusal;
}

DIROV_API void parse_reply(char* reply, CommandReply* out) {
    if (!out) return;
    parse_reply_bytes(reply, reply ? std::strlen(reply) : 0, out);
}

DIROV_API void print_struct(const CommandReply* r) {
    if (!r) return;
    std::printf("\nStructured Reply\n");
    std::printf("Command is: %s\n", r->Command);
    std::printf("Type is: %s\n", r->Type);
    if (std::strcmp(r->Type, "DATA") == 0) {
        std::printf("Data Length is: %02X\n", r->DataLength);
        std::printf("Data is:\n");
        // A value reply holds 4 bytes; a counted one DataLength.
        int n = r->DataLength ? r->DataLength : (r->Data ? 4 : 0);
        for (int i = 0; i < n; ++i) std::printf("Byte %d : %02X\n", i, r->Data[i]);
        std::printf("END\n");
    }
    if (std::strcmp(r->Error, "none") != 0) {
        std::printf("CSTAT Error is: %s\n", r->Error);
        std::printf("END\n");
    }
    std::printf("\n");
}

}  // extern "C"
