/*
 * dirov410: host library for the dirov410 USB interface board.
 *
 * One C header for the whole exported API: device access and the text command
 * channel, the board command set, the packet store and virtual buffers, capture
 * and save threads, and the firmware-update path (DFU requests, DFU files, ELF
 * reader, upgrade).
 *
 * Results are signed 32-bit integers (0 success, -1 failure) unless a function
 * says otherwise. Memory handed to the caller comes from malloc and is released
 * with free, or with dirov_free where the caller's free is not the library's.
 * Diagnostics are single lines on stderr (a few on stdout), or go
 * to the handler set with dirov_set_log_handler.
 *
 * Windows: dirov410.dll uses msvcrt.dll's heap and stdio. A program built
 * against another CRT (MSVC's UCRT, a language binding's runtime) frees the
 * library's memory with dirov_free (or msvcrt.dll's free), and passes only
 * FILE pointers from msvcrt.dll's fopen.
 * Its threads wait for each other with WaitOnAddress, so it loads on Windows 8
 * and later only.
 *
 * Valid C99 and C++.
 */
#ifndef DIROV410_H
#define DIROV410_H

#include <stdint.h>
#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

/* On Windows a program links dirov410.dll through its import library (or
 * the .def file); DIROV410_STATIC marks code linked with the library's
 * objects directly. */
#if defined(_WIN32)
#if defined(DIROV410_STATIC)
#define DIROV_API
#elif defined(DIROV410_BUILD)
#define DIROV_API __declspec(dllexport)
#else
#define DIROV_API __declspec(dllimport)
#endif
#else
#define DIROV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Windows types the API uses, defined portably off Windows ----
 * On Windows GUID, HANDLE, BOOL and HRESULT come from <windows.h>, and
 * WINUSB_INTERFACE_HANDLE is the one of <winusb.h> (the same PVOID). The
 * handles this library hands out are its own: pass them only to its
 * functions, never to WinUsb_* calls. */
#ifdef _WIN32
#ifndef __WUSB_H__
typedef PVOID WINUSB_INTERFACE_HANDLE;
#endif
#else
typedef int32_t HRESULT;
typedef int32_t BOOL;
typedef void* HANDLE;
typedef void* WINUSB_INTERFACE_HANDLE;
typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
#endif

/* ---- Device record and interface GUIDs ---- */

#define DIROV_MAX_PATH 260

struct DeviceData {
    int32_t IsOpen;
    WINUSB_INTERFACE_HANDLE WinUsbHandle;
    HANDLE FileHandle;
    char DevicePath[DIROV_MAX_PATH];
};
typedef struct DeviceData DEVICE_DATA;

/* The library's one device record. */
DIROV_API extern DEVICE_DATA DeviceData;

DIROV_API extern const GUID GUID_DEVINTERFACE;
DIROV_API extern const GUID GUID_DEVINTERFACE_HX4104;
DIROV_API extern const GUID GUID_DFU_INTERFACE;
DIROV_API extern const GUID GUID_DFU_MAIN_INTERFACE;
/* MinGW's <winusbio.h> defines a GUID of this name with another value: a
 * program that includes <winusb.h> before this header sees that one. */
#ifndef __WINUSBIO_H
DIROV_API extern const GUID WinUSB_TestGuid;
#endif

/* The path of the first present interface of `guid` (NULL: the main
 * firmware's) on the selected board (dirov_select_device below), or on any
 * board while none is selected. With a selection, a board whose serial
 * differs, or cannot be read, is passed over; when no board carries the
 * selected serial the result is 0x80070103 with the no-device flag set, as
 * with no board at all. OpenDevice, Hx410DItfOpen and FirmwareUpgrade find
 * the board through it, so all of them, the reopenings after a face change
 * included, keep to the selected board.
 *
 * Discovery over libusb (no simulated board attached) reads the Microsoft OS
 * descriptors only of devices with a vendor-specific or DFU interface in
 * their configuration, with 300 ms time-outs; a device found not to present
 * a GUID is not asked again for it while it stays on the bus (same port and
 * address) in this process. */
DIROV_API HRESULT RetrieveDevicePath(char* devicePath, uint32_t bufLen, BOOL* noDevice,
                                     const GUID* guid);
DIROV_API HRESULT OpenDevice(DEVICE_DATA* device, BOOL* noDevice, const GUID* guid);
/* Cancels what is in flight on the device: a read waiting on it (a capture
 * thread's included) returns ERROR_OPERATION_ABORTED (995) at once, a read of
 * the closed handle never takes data meant for a handle opened later, and the
 * interface is given up so that the device can be opened again at once. A
 * capture thread whose read is cancelled this way ends with status -1. */
DIROV_API void CloseDevice(DEVICE_DATA* device);

/* ---- Command exchange ---- */

typedef struct CommandReply {
    char Command[128];
    char Type[128];
    uint8_t* Data;
    uint8_t DataLength;
    char Error[128];
} CommandReply;

#pragma pack(push, 1)
/* Raw bytes appended to a command in the same OUT transfer. Packed: 4 bytes plus a pointer. */
typedef struct PayloadPart {
    uint32_t Length;
    const uint8_t* Data;
} PayloadPart;
#pragma pack(pop)

DIROV_API CommandReply* usb_comms(WINUSB_INTERFACE_HANDLE handle, const char* command,
                                  int32_t partCount, const PayloadPart* parts);
/* `reply` is a NUL-terminated string: a counted payload ("DATA #n") must lie
 * before the first NUL byte, or the record reports a short payload with Data
 * NULL. usb_comms parses the bytes received by their count, so payloads it
 * returns may hold NUL bytes. */
DIROV_API void parse_reply(char* reply, CommandReply* out);
DIROV_API void print_struct(const CommandReply* reply);

/* ---- Interface open, close and identity ---- */

typedef struct ItfOpenResult {
    int32_t ConnState;
    uint32_t BootloaderVersion;
    int32_t FirmwareValid;
} ItfOpenResult;

DIROV_API ItfOpenResult Hx410DItfOpen(void);
DIROV_API int32_t Hx410DItfClose(void);
DIROV_API DEVICE_DATA* _GetDeviceData(void);
DIROV_API WINUSB_INTERFACE_HANDLE _GetWinUsbHandle(void);
/* Copies `length` bytes (0 to 65,533; buffer non-NULL when length > 0) of
 * string descriptor 3 after its 2-byte header; -1 for other arguments or a
 * failed request. A shorter descriptor prints a line on stderr and leaves
 * the missing bytes 0; the result is still 0. */
DIROV_API int32_t GetDeviceSerialNumber(uint8_t* buffer, int32_t length);

/* ---- Bus register access (CBUS) ----
 * Board commands that return a value give -1 when the reply carries none:
 * a "CSTAT" reply, an unreadable reply, or a counted reply with a payload
 * ("DATA #n", n > 0; "DATA #0" reads as the value 0).
 * Read streams copy the reply's DataLength bytes (the buffer needs room for
 * 255) and give 0, also for a value reply, which copies nothing; a count
 * above 255 or below 0, which no reply could carry, gives -1 before anything
 * is sent. */

DIROV_API int32_t cbus_read_word(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint8_t b);
DIROV_API int32_t cbus_read_byte(WINUSB_INTERFACE_HANDLE h, uint8_t a, int32_t b);
DIROV_API int32_t cbus_read_word_stream(WINUSB_INTERFACE_HANDLE h, uint8_t a, int32_t b, uint8_t n,
                                        uint8_t* buffer);
DIROV_API int32_t cbus_read_byte_stream(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint8_t b, int32_t n,
                                        uint8_t* buffer);
DIROV_API int32_t cbus_write_word(WINUSB_INTERFACE_HANDLE h, uint8_t a, int32_t b, int32_t value);
DIROV_API int32_t cbus_write_byte(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint8_t b, uint8_t value);
DIROV_API int32_t cbus_write_word_stream(WINUSB_INTERFACE_HANDLE h, uint8_t a, int32_t b,
                                         const uint8_t* payload, uint8_t count);
DIROV_API int32_t cbus_write_byte_stream(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint8_t b,
                                         int32_t count, const uint8_t* payload);
DIROV_API int32_t cbus_set_spi(WINUSB_INTERFACE_HANDLE h, int32_t mode);
DIROV_API int32_t cbus_set_baud_rate(WINUSB_INTERFACE_HANDLE h, int32_t rate);

/* ---- General-purpose and dedicated I/O ---- */

DIROV_API int32_t gpio_init(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t gpio_set_dir(WINUSB_INTERFACE_HANDLE h, uint16_t dir);
DIROV_API int32_t gpio_write(WINUSB_INTERFACE_HANDLE h, uint16_t value);
DIROV_API int32_t gpio_read(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t gpio_set_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins);
DIROV_API int32_t gpio_clear_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins);
DIROV_API int32_t dio_init(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t dio_write(WINUSB_INTERFACE_HANDLE h, uint16_t value);
DIROV_API int32_t dio_set_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins);
DIROV_API int32_t dio_clear_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins);
DIROV_API int32_t io_init(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t io_set_dir(WINUSB_INTERFACE_HANDLE h, uint16_t dir);
DIROV_API int32_t io_write(WINUSB_INTERFACE_HANDLE h, uint16_t value);
DIROV_API int32_t io_read(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t io_set_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins);
DIROV_API int32_t io_clear_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins);
DIROV_API int32_t dedicated_io_init(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t set_booten_1(WINUSB_INTERFACE_HANDLE h, uint8_t value);
DIROV_API int32_t set_booten_2(WINUSB_INTERFACE_HANDLE h, uint8_t value);
DIROV_API int32_t clear_booten_1(WINUSB_INTERFACE_HANDLE h, uint8_t value);
DIROV_API int32_t clear_booten_2(WINUSB_INTERFACE_HANDLE h, uint8_t value);
DIROV_API int32_t irqn_int_set(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t irqn_enable(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t irqn_disable(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t dedio_get_status(WINUSB_INTERFACE_HANDLE h);

/* ---- I2S host port, system, UART, SD card ---- */

DIROV_API int32_t host_port_i2s_init(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t host_port_tx_i2s_dma_enable(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t host_port_rx_i2s_dma_enable(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t host_port_i2s_dma_disable(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t host_port_i2s_dma_set_left_sine(WINUSB_INTERFACE_HANDLE h, float frequency,
                                                  float amplitude);
DIROV_API int32_t host_port_i2s_dma_set_right_sine(WINUSB_INTERFACE_HANDLE h, float frequency,
                                                   float amplitude);
DIROV_API int32_t host_port_i2s_rx_status(WINUSB_INTERFACE_HANDLE h);

DIROV_API int32_t gen_reset(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t gen_version(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t load_fi_QDR5X3X(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint32_t b, uint16_t c,
                                  uint16_t d);
DIROV_API int32_t load_fi_QDR504X_QDR514X(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint32_t b,
                                          uint16_t c, uint16_t d);
DIROV_API int32_t load_fi_QDR524X_QDR534X(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint32_t b,
                                          uint16_t c, uint16_t d);
DIROV_API int32_t load_fi_QDR5X6X(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint16_t b, uint16_t c);
DIROV_API int32_t timer_sleep(WINUSB_INTERFACE_HANDLE h, uint32_t duration);

DIROV_API int32_t uart_init(WINUSB_INTERFACE_HANDLE h, uint8_t port);
DIROV_API int32_t uart_set_baud_rate(WINUSB_INTERFACE_HANDLE h, uint8_t port, uint32_t baud);
DIROV_API int32_t uart_set_config(WINUSB_INTERFACE_HANDLE h, uint8_t port, uint32_t baud,
                                  uint8_t dataBits, uint8_t parity, uint8_t stopBits);
DIROV_API int32_t uart_write_byte(WINUSB_INTERFACE_HANDLE h, uint8_t port, uint8_t value);

DIROV_API int32_t sd_test(WINUSB_INTERFACE_HANDLE h);

/* ---- Packet store ---- */

#define DIROV_PACKET_DATA_SIZE 20480

typedef struct DataPacket {
    int32_t id;
    int32_t size;
    int32_t lock;
    uint8_t* data;
    struct DataPacket* next;
    struct DataPacket* last;
} DataPacket;

/* Called on the publishing thread (the capture thread for captured packets)
 * with the registration lock held, one lock already taken for it: the locks
 * of every registered callback are taken before the first runs, so a
 * callback that gives its lock back at once leaves the packet alive for the
 * later ones. It must
 * return quickly. Of the worker and thread functions, a callback may call:
 * StopCaptureWorker and StopCaptureThread of its own capture thread (they
 * only ask the thread to stop, see there), StartSaveWorker and
 * CreateSaveThread, StopSaveWorker and StopSaveThread (they do not wait, see
 * there). The capture Start functions and a StopCaptureThread of another,
 * running capture thread are refused from a callback with -1 and a line on
 * stderr, and so is a GetNextPacket that would have to wait. */
typedef void (*PktNotifyCb)(DataPacket* packet);

/* A packet stays valid while its holder keeps a lock on it (lock above 0).
 * Following `next` is only safe while holding a lock on the packet: without
 * one, the store may reuse or remove it at any time. */
/* A record without a data block. A block the caller puts in `data` stays
 * the caller's: the store never hands it on as a 20480-byte block, never
 * frees it (RemovePacket with freeData does) and does not count it against
 * the store limit. */
DIROV_API DataPacket* CreatePacketStruct(void);
/* A record with a 20480-byte block: the block of the oldest free packet, or
 * a new one while the store's blocks stay within its limit
 * (dirov_set_store_limit). NULL, with a message, at the limit or when memory
 * runs out. */
DIROV_API DataPacket* InitDataPacket(void);
/* Returns a published packet on which nobody holds a lock, unless a
 * registered callback kept one: the store may reuse it at once. Take a lock
 * (IncPktLock) from a callback to keep it. */
DIROV_API DataPacket* NewDataPacket(const uint8_t* src, int32_t count);
DIROV_API void PublishDataPacket(DataPacket* packet);
DIROV_API void IncPktLock(DataPacket* packet);
/* A packet whose count falls to 0 may be reused or freed at once: read its
 * `next` before giving back the lock when walking on. Following `next` is
 * only safe while holding a lock on the packet. While no capture thread runs,
 * the store keeps 8 free blocks and frees the blocks of packets freed beyond
 * those (also after a lowered limit, while above it). */
DIROV_API void DecPktLock(DataPacket* packet);
DIROV_API int32_t RemovePacket(DataPacket* packet, int32_t freeData);
/* The oldest free packet: nobody holds it, and the store may reuse it at
 * once, so it is only a hint unless a lock is taken under the caller's own
 * ordering with the producer. */
DIROV_API DataPacket* NxtUnlocked(void);
DIROV_API int32_t RegisterPktNotify(PktNotifyCb cb);
DIROV_API int32_t UnregisterPktNotify(PktNotifyCb cb);
DIROV_API void ShowPacketInfo(int32_t verbose);

/* The most bytes of data blocks the store holds; 0 restores the default, the
 * value of the environment variable DIROV410_STORE_LIMIT (bytes, optionally
 * followed by K, M or G; read once, a malformed value or one below 20480 is
 * reported once and ignored), else a quarter of physical memory. 0 on
 * success, -1 (and a message) for a limit below one block (20480). Blocks
 * already held above a lowered limit go back as they become free. Of the
 * free packets' blocks the store keeps 64 for reuse while a capture runs
 * and 8 otherwise; the rest go back to the heap as they become free. At the
 * limit a capture thread keeps draining the pipe into a scratch block and
 * drops those transfers (see dirov_capture_stats). */
DIROV_API int32_t dirov_set_store_limit(uint64_t bytes);

/* The stream offset of a captured packet's first byte, counting dropped
 * transfers, so a jump from the previous packet's offset + size is a gap of
 * exactly that many bytes. -1 for NULL or a packet that the capture thread
 * did not fill. The packet must be one of the store's, held by the caller. */
DIROV_API int64_t dirov_packet_stream_offset(const DataPacket* p);

/* ---- Virtual sample buffers ---- */

typedef struct VirtualBuffer {
    int32_t size;
    int32_t overlap;
    uint32_t lastCounter;
    DataPacket* newestPkt;
    int32_t index;
    DataPacket* firstPkt;
    int32_t pktCount;
    int32_t offset;
    int32_t samples;
} VirtualBuffer;

/* What buffers keep locked: while the buffer service's callback is
 * registered, it holds one lock on every packet of its window (the latest
 * bytes of the largest buffer, plus up to two packets) until the window moves
 * past the packet or UnregisterBufferCb. Each buffer, from a GetBufferData
 * that returned 0, holds one lock on every packet of its own window until its
 * next GetBufferData moves the window or RemoveBuffer. Those packets are not
 * reused meanwhile. */
DIROV_API int32_t RegisterBufferCb(void);
DIROV_API int32_t UnregisterBufferCb(void);
DIROV_API VirtualBuffer* CreateNewBuffer(int32_t size, int32_t overlap);
DIROV_API void RemoveBuffer(VirtualBuffer* buffer);
DIROV_API int32_t GetBufferData(VirtualBuffer* buffer);
DIROV_API int32_t ExtractBuffData(uint8_t* dest, VirtualBuffer* buffer);
DIROV_API void ShowBufferInfo(void);

/* ---- Capture thread ---- */

#ifdef _WIN32
/* The thread id of the DLL's POSIX threads (winpthread's pthread_t). */
typedef uintptr_t dirov_thread_t;
#else
typedef pthread_t dirov_thread_t;
#endif

typedef struct CapThreadArgs {
    DEVICE_DATA* device;
    uint8_t pipeId;
    int32_t stop;
    int32_t status;
} CapThreadArgs;

typedef struct CapArgs {
    dirov_thread_t thread;
    CapThreadArgs* args;
} CapArgs;

DIROV_API CapArgs* CreateCaptureThread(DEVICE_DATA* device, uint8_t pipeId);
DIROV_API void* captureThread(void* args);
/* Stops, joins and frees; returns the thread's final status. When the
 * thread does not end within about 100 ms it aborts the pipe; when the abort
 * fails it reports "Pipe abort failed (code): cancelling its transfers" and
 * cancels the read below the abort, so the call always returns. Called from a
 * packet callback of the thread itself, it only asks the thread to stop (its
 * read in flight is cut short): the thread ends once the callback returns and
 * frees its records itself, and the call returns 0. From a callback, a
 * running capture thread other than the caller's is refused with -1. */
DIROV_API int32_t StopCaptureThread(CapArgs* handle);

/* The current or last capture thread's counts, reset when a capture thread
 * starts. `transfers` and `bytes` count the transfers that were published or
 * dropped (the one completed just as a stop is seen is discarded and not
 * counted); `dropped_*` the transfers dropped because the store was at its
 * limit. A capture that drops prints one error line at the first drop and a
 * summary line when it ends. `store_bytes` is the store's block bytes now,
 * `store_peak_bytes` their peak since the capture started. */
typedef struct dirov_capture_stats {
    uint64_t transfers;
    uint64_t bytes;
    uint64_t dropped_transfers;
    uint64_t dropped_bytes;
    uint64_t store_bytes;
    uint64_t store_peak_bytes;
} dirov_capture_stats;

/* 0 with *out filled; -1 for NULL. */
DIROV_API int32_t dirov_get_capture_stats(dirov_capture_stats* out);

/* ---- Save-to-file thread ---- */

#define DIROV_SAVE_NAME_SIZE 120

typedef struct SaveThreadArgs {
    char fileName[DIROV_SAVE_NAME_SIZE];
    int32_t byteLimit;
    int32_t stop;
    int32_t status;
} SaveThreadArgs;

typedef struct SaveArgs {
    dirov_thread_t thread;
    SaveThreadArgs* args;
} SaveArgs;

/* One save thread at a time: while one exists (until StopSaveThread, or
 * until a thread stopped from a callback has ended, which a new call waits
 * for), the call is refused with "A save thread is already running" and the
 * file is not touched. Each packet is appended with its own open, write and
 * close, so its bytes are complete in the file when the next one starts.
 * Called from a packet callback it does not wait for the thread to register:
 * the file then starts with a packet published a little later. On Linux
 * the thread asks for the capture thread's nice value (-10, granted where the
 * process may lower it), since a save that falls behind the capture leaves
 * the store growing. The thread gets exactly the packets published while it
 * is registered, in publication order. NULL, with an error line naming the
 * path (and errno where the system gave one), for a path that exists and is
 * not a regular file (a FIFO, a device, a folder) and for one that cannot be
 * created or truncated. */
DIROV_API SaveArgs* CreateSaveThread(const char* fileName, int32_t byteLimit);
DIROV_API void* DsSaveThread(void* args);
/* force 0 without a byte limit: the thread writes the packets handed to it
 * up to the moment of the call and then ends, even while capture goes on.
 * force 0 with a limit: waits for the limit to be written; once no packet
 * has come for a second it forces the stop ("Stream idle before the byte
 * limit was written"). Called from a packet callback it does not wait: the
 * thread ends by itself (unforced: after the packets handed so far, limit or
 * not) and frees its records, and the call returns 0. Returns the thread's
 * status: 0, or -1 when a packet could not be written whole (a full disk, a
 * file size limit, a vanished folder): the save then ended at that packet
 * with one error line naming the file and errno, and the file holds only
 * the whole packets before it (the byte limit cuts the last one on purpose).
 * A forced stop never waits for more than the packet being written. */
DIROV_API int32_t StopSaveThread(SaveArgs* handle, int32_t force);
DIROV_API int32_t SaveThreadRunning(SaveArgs* handle);

/* ---- Capture and save workers ----
 * Every function here may be called from any thread, in any order: exactly
 * one caller stops, joins and frees each worker thread; a Start while the
 * worker exists or is being stopped is refused. */

/* A start releases the reader's locks left from the last capture (the packet
 * GetNextPacket returned last and the packets still pending). A start left
 * refused while a capture thread ended by itself with an error, until
 * StopCaptureWorker or GetNextPacket reports its end; a thread stopped from a
 * callback is joined by the next start. Refused from a packet callback. */
DIROV_API int32_t StartCaptureWorker(void);
/* Starts without the in-order reader: GetNextPacket then has nothing to
 * read, also when an earlier StartCaptureWorker's capture ended by itself
 * (its reader registration is dropped here). */
DIROV_API int32_t StartCaptureWorkerNoRegister(void);
DIROV_API int32_t _StartCaptureWorker(int32_t registerCb);
/* Returns the capture thread's final status, or -1 when there is no capture
 * worker (also when another thread stopped it first: the call waits for that
 * stop to finish). A capture that failed (status -1) leaves its code in
 * dirov_get_last_error, as for GetNextPacket. It gives back the reader's locks on the packets still
 * pending (nobody reads them after the stop, and their blocks can go back),
 * so a reader blocked in GetNextPacket, or calling it later, gets NULL; the
 * packet GetNextPacket returned last stays valid until the next worker
 * start. Never waits without bound (see StopCaptureThread). From a packet
 * callback it asks the thread to stop and returns 0 at once; the reader's
 * callback then stays registered, and the next Start, Stop or GetNextPacket
 * joins the ended thread (pending packets then go at the next start). */
DIROV_API int32_t StopCaptureWorker(void);
/* The returned packet stays valid until the next GetNextPacket or the next
 * capture start, from whichever thread. Packets still pending are returned
 * after the capture has stopped. NULL when the capture has ended (or none
 * runs) and nothing is pending, and from a packet callback when it would
 * have to wait. A NULL leaves its reason in dirov_get_last_error: 259
 * (ERROR_NO_MORE_ITEMS) when the capture was stopped or none ran, the failed
 * read's code when the capture ended by itself (1167, ERROR_DEVICE_NOT_CONNECTED,
 * for a board unplugged mid-capture; 31, ERROR_GEN_FAILURE, for a failed
 * transfer; 8, ERROR_NOT_ENOUGH_MEMORY, when no packet could be made; never
 * 0), and 50 (ERROR_NOT_SUPPORTED) from a packet callback. The wait sleeps:
 * it uses no CPU. */
DIROV_API DataPacket* GetNextPacket(void);
/* GetNextPacket that gives up after `timeout_ms` milliseconds (0: waits
 * without bound, as GetNextPacket): NULL with dirov_get_last_error() == 121
 * (ERROR_SEM_TIMEOUT) when no packet came in time; otherwise as
 * GetNextPacket, the codes of its NULL included. */
DIROV_API DataPacket* dirov_get_next_packet(uint32_t timeout_ms);
DIROV_API int32_t GetPendingCnt(void);
DIROV_API DataPacket* GetCurPacket(void);
DIROV_API void ShowBufStatus(int32_t verbose);
DIROV_API int32_t StartSaveWorker(const char* fileName, int32_t byteLimit);
/* -1 when there is no save worker (a concurrent stop finishes first). From a
 * packet callback it does not wait (see StopSaveThread) and returns 0.
 * Otherwise the save thread's status, -1 for a failed write as
 * StopSaveThread describes. */
DIROV_API int32_t StopSaveWorker(int32_t force);
/* 0 while the save thread works, also while another thread is stopping it;
 * -1 once it has ended or when there is none. */
DIROV_API int32_t SaveWorkerRunning(void);
DIROV_API void NewPktCb(DataPacket* packet);

/* ---- DFU and bootloader control requests ---- */

#pragma pack(push, 1)
/* DFU_GETSTATUS reply. bwPollTimeout[0] is the most significant byte as this board sends it. */
typedef struct DfuStatus {
    uint8_t bStatus;
    uint8_t bwPollTimeout[3];
    uint8_t bState;
    uint8_t iString;
} DfuStatus;

/* DFU functional descriptor (type 0x21). */
typedef struct DfuFunctionalDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bmAttributes;
    uint16_t wDetachTimeOut;
    uint16_t wTransferSize;
    uint16_t bcdDFUVersion;
} DfuFunctionalDescriptor;
#pragma pack(pop)

#define DIROV_BOOTLOADER_STATE_SIZE 28

/* Bootloader state; bit 0 of bytes[0] set: the main firmware needs no start. */
typedef struct BootloaderState {
    uint8_t bytes[DIROV_BOOTLOADER_STATE_SIZE];
} BootloaderState;

/* DFU 1.1 state codes (the bState of DfuStatus, the reply of dfu_getstate). */
#define DFU_STATE_APP_IDLE 0
#define DFU_STATE_APP_DETACH 1
#define DFU_STATE_DFU_IDLE 2
#define DFU_STATE_DFU_DNLOAD_SYNC 3
#define DFU_STATE_DFU_DNBUSY 4
#define DFU_STATE_DFU_DNLOAD_IDLE 5
#define DFU_STATE_DFU_MANIFEST_SYNC 6
#define DFU_STATE_DFU_MANIFEST 7
#define DFU_STATE_DFU_MANIFEST_WAIT_RESET 8
#define DFU_STATE_DFU_UPLOAD_IDLE 9
#define DFU_STATE_DFU_ERROR 10

/* One control transfer each, to the interface the handle was opened on (as
 * WinUSB addresses a handle's interface; on the main firmware the run-time
 * DFU interface is interface 1); no state, no retry. A request the board does
 * not take in its current DFU state is stalled (-1, last error 31) and, as
 * DFU 1.1 has it, moves the board to dfuERROR: dfu_abort answers only in
 * dfuIDLE, dfuDNLOAD-IDLE and dfuUPLOAD-IDLE, dfu_clrstatus only in
 * dfuERROR, and a zero-length dfu_dnload before any data is stalled too.
 * dfu_dnload_firmware and dfu_upload_firmware bring the board back to
 * dfuIDLE from there. The requests with a
 * data stage return the number of bytes transferred, or -1; a reply
 * shorter than asked is not an error here (the record is left partly
 * filled). The download treats a status record shorter than 6 bytes as a
 * failed request. */
DIROV_API int32_t dfu_detach(WINUSB_INTERFACE_HANDLE h, uint16_t timeout);
DIROV_API int32_t dfu_dnload(WINUSB_INTERFACE_HANDLE h, const uint8_t* buffer, uint32_t length,
                             uint16_t block);
DIROV_API int32_t dfu_upload(WINUSB_INTERFACE_HANDLE h, uint8_t* buffer, uint32_t length,
                             uint16_t block);
DIROV_API int32_t dfu_getstatus(WINUSB_INTERFACE_HANDLE h, DfuStatus* status);
DIROV_API int32_t dfu_clrstatus(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t dfu_getstate(WINUSB_INTERFACE_HANDLE h, uint8_t* state);
DIROV_API int32_t dfu_abort(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t dfu_start(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t dfu_getdescriptor(WINUSB_INTERFACE_HANDLE h, DfuFunctionalDescriptor* desc);

/* The one- and four-byte bootloader requests give -1 when the board sends
 * fewer bytes than asked. bootloader_state zeroes the record first, returns
 * the number of bytes received, and -2 for a NULL record. */
DIROV_API int32_t bootloader_version(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t bootloader_is_firmware_valid(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t bootloader_start_main(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t bootloader_reset(WINUSB_INTERFACE_HANDLE h);
DIROV_API int32_t bootloader_state(WINUSB_INTERFACE_HANDLE h, BootloaderState* state);

/* ---- DFU download and status texts ---- */

DIROV_API extern const char* const error_msg[16];

DIROV_API int32_t dfu_get_last_error(void);
DIROV_API const char* dfu_get_error_str(int32_t code);
DIROV_API const char* dfu_get_last_error_str(void);
/* Downloads `count` records, one DFU_DNLOAD block each, then the zero-length
 * block numbered count + 1. First the board is brought back to dfuIDLE from
 * wherever an interrupted download or upload left it, reading its state
 * again after every step: dfuERROR is cleared (DFU_CLRSTATUS);
 * dfuDNLOAD-SYNC, dfuDNLOAD-IDLE, dfuMANIFEST-SYNC and dfuUPLOAD-IDLE are
 * aborted (DFU_ABORT; a board that stalls the abort is then in dfuERROR and
 * cleared); dfuDNBUSY and dfuMANIFEST are waited out for the poll timeout
 * their status names. The image then goes out again from its first record.
 * After each block (and the final one) a board that reports itself busy
 * (dfuDNBUSY, dfuMANIFEST) is asked for its status again after the poll
 * timeout, up to 16 times. Results: 0; -1 a request failed; -2 the board is
 * in a state no DFU request leaves (appIDLE, appDETACH,
 * dfuMANIFEST-WAIT-RESET) or did not reach dfuIDLE within 8 steps, and no
 * block was sent; -3 a record exceeds wTransferSize; -4 a malformed image
 * (see dirov_dfu_dnload_image); 1..255 the board's non-zero bStatus, also
 * after a stalled block (the final block included), which leaves last
 * error 31. dfu_get_last_error keeps the bStatus of the download's own
 * status queries, not those made while recovering. */
DIROV_API int32_t dfu_dnload_firmware(WINUSB_INTERFACE_HANDLE h, const uint8_t* image,
                                      uint32_t count);
/* The readiness steps of dfu_dnload_firmware (with its recovery), then an
 * empty image: 0, -1 or -2; nothing is uploaded. */
DIROV_API int32_t dfu_upload_firmware(WINUSB_INTERFACE_HANDLE h, uint8_t** image, uint32_t* size);

/* ---- DFU file suffix ---- */

typedef struct DfuSuffix {
    uint16_t bcdDevice;
    uint16_t idProduct;
    uint16_t idVendor;
    uint16_t bcdDFU;
    uint8_t ucDfuSignature[3];
    uint8_t bLength;
    uint32_t dwCRC;
} DfuSuffix;

/* Results of the suffix functions; -1 when a required argument is absent.
 * A suffix is well formed when bLength is 16, the signature 'U','F','D' and
 * bcdDFU 0x0100 (codes 2, 3, 4, tested in that order). */
#define DFU_SUFFIX_OK 0
#define DFU_SUFFIX_IO_ERROR 1 /* position, seek, read, write, truncate or memory */
#define DFU_SUFFIX_BAD_LENGTH 2
#define DFU_SUFFIX_BAD_SIGNATURE 3
#define DFU_SUFFIX_BAD_VERSION 4
#define DFU_SUFFIX_OTHER_PRODUCT 5 /* dfu_file_compare_suffix: targets differ */
#define DFU_SUFFIX_OTHER_VENDOR 6
#define DFU_SUFFIX_OTHER_DEVICE 7
#define DFU_SUFFIX_BAD_CRC 8 /* well formed, but dwCRC does not match the bytes before it */
#define DFU_SUFFIX_PRESENT 9 /* dfu_file_add_suffix: the file already ends with a suffix */

/* Fills all 16 bytes; dwCRC takes `crc` most significant byte first. */
DIROV_API int32_t dfu_file_new_suffix(DfuSuffix* suffix, uint32_t crc, uint16_t vendorId,
                                      uint16_t productId, uint32_t deviceRelease);
/* The last 16 bytes, not validated; `suffix` may be NULL. 0 or 1. */
DIROV_API int32_t dfu_file_read_suffix(FILE* stream, DfuSuffix* suffix);
/* Computes the CRC of the whole stream and appends the suffix with it; the
 * stream must be open for reading and writing. A file that already ends with
 * a well-formed suffix is left as it is: DFU_SUFFIX_PRESENT. The 16 bytes go
 * out in one write, past the stream's buffer; when that fails (a full disk)
 * the file is cut back to its old length and the result is 1. The position
 * is restored. */
DIROV_API int32_t dfu_file_add_suffix(FILE* stream, DfuSuffix* suffix);
DIROV_API int32_t dfu_file_verify_suffix(const DfuSuffix* suffix);
/* Cuts a well-formed suffix off the file; dwCRC is not checked first. */
DIROV_API int32_t dfu_file_remove_suffix(FILE* stream);
/* Validates b, then a, then compares idProduct, idVendor, bcdDevice. */
DIROV_API int32_t dfu_file_compare_suffix(const DfuSuffix* a, const DfuSuffix* b);
/* Validates the stream's suffix and its CRC: 0, 1, 2, 3, 4 or
 * DFU_SUFFIX_BAD_CRC. The position is restored. */
DIROV_API int32_t dfu_file_check_suffix(FILE* stream);

/* ---- ELF32 image reader ---- */

typedef struct Elf32FileHeader {
    uint8_t e_ident[16];
    uint16_t e_type;
    uint16_t e_machine;
    uint32_t e_version;
    uint32_t e_entry;
    uint32_t e_phoff;
    uint32_t e_shoff;
    uint32_t e_flags;
    uint16_t e_ehsize;
    uint16_t e_phentsize;
    uint16_t e_phnum;
    uint16_t e_shentsize;
    uint16_t e_shnum;
    uint16_t e_shstrndx;
} Elf32FileHeader;

typedef struct Elf32ProgramHeader {
    uint32_t p_type;
    uint32_t p_offset;
    uint32_t p_vaddr;
    uint32_t p_paddr;
    uint32_t p_filesz;
    uint32_t p_memsz;
    uint32_t p_flags;
    uint32_t p_align;
} Elf32ProgramHeader;

typedef struct Elf32SectionHeader {
    uint32_t sh_name;
    uint32_t sh_type;
    uint32_t sh_flags;
    uint32_t sh_addr;
    uint32_t sh_offset;
    uint32_t sh_size;
    uint32_t sh_link;
    uint32_t sh_info;
    uint32_t sh_addralign;
    uint32_t sh_entsize;
} Elf32SectionHeader;

DIROV_API Elf32FileHeader* elf_get_file_header(FILE* stream);
DIROV_API Elf32ProgramHeader* elf_get_program_header(FILE* stream, const Elf32FileHeader* header,
                                                     uint32_t index);
DIROV_API Elf32SectionHeader* elf_get_section_header(FILE* stream, const Elf32FileHeader* header,
                                                     const char* name);
DIROV_API uint8_t* elf_get_section_data(FILE* stream, const Elf32FileHeader* header,
                                        const Elf32SectionHeader* section, uint32_t* size);
/* `path` must name a regular file: anything else (a FIFO, a directory, a
 * device) gives NULL at once, without blocking. */
DIROV_API uint8_t* elf_get_section_data_from_file(const char* path, const char* name,
                                                  uint32_t* size);

/* ---- DFU file ---- */

#define DIROV_DFU_RECORD_HEADER 8
#define DIROV_DFU_RECORD_MAX_DATA 2040

/* 0, or 1 on any failure, with the file at dfuPath left as it was. The
 * records go to a new file beside dfuPath ("<dfuPath>.<8 hex digits>.tmp"),
 * created exclusively and never through a symbolic link, which replaces
 * dfuPath in one rename and is removed on every failure. elfPath must name a
 * regular file. A list whose first name is NULL makes an empty file, which
 * dfu_file_read refuses. */
DIROV_API int32_t dfu_file_create(const char* elfPath, const char* dfuPath, uint32_t count,
                                  const char* const* sectionNames, const uint8_t* sectionIds);
/* 0, or 1 with *image NULL and *count 0 (stored whenever both are given).
 * The last 16 bytes are taken as a suffix and left out of the image only
 * when dfu_file_check_suffix gives 0, that is when the suffix is well formed
 * and its CRC matches; a well-formed suffix with a wrong CRC fails the read.
 * The read fails for a path that is no regular file (never blocking on a
 * FIFO), for records that do not exactly fill the image or hold 0 or more
 * than 2,040 data bytes, for more than 65,535 records (block numbers are 16
 * bits), and for an image without records (an empty file, or only a
 * suffix): nothing of such a file can reach a board. */
DIROV_API int32_t dfu_file_read(const char* path, uint8_t** image, uint32_t* count);

/* ---- Firmware upgrade ---- */

/* Loads the DFU file, reaches the bootloader's DFU interface (resetting or
 * detaching a running main firmware), downloads, leaves DFU mode, starts the
 * new firmware and reopens it: 0 with the board open as main firmware, -1 on
 * any failure, with one error line (stderr, or the log handler). An upgrade
 * that failed part way can simply be called again: a board found in a DFU
 * state other than dfuIDLE gets the info line "Device was in %d state before
 * downloading" and is brought back to dfuIDLE by the download (see
 * dfu_dnload_firmware), and the image is sent again from its first record;
 * a board unplugged part way (a request failing with 1167) is closed, leaving
 * connection state 0, so the next call opens whatever face it comes back with.
 * After a detach and after the start of the new firmware, every failed find
 * or open (board absent, or an error while it re-enumerates) is retried, ten
 * attempts 500 ms apart; an error other than absence gives the warning line
 * "Failed looking for (non-)DFU device, HRESULT 0x%X" and the search goes on.
 * So once the new firmware runs, the upgrade ends in 0 unless the board
 * stays unreachable for all ten attempts. */
DIROV_API int32_t FirmwareUpgrade(const char* path);

/* ---- Library extensions ----
 * The Windows last-error code that failed transfers leave behind (31 for a
 * stalled request, 995 for an aborted read, ...), per thread. */
DIROV_API uint32_t dirov_get_last_error(void);
DIROV_API void dirov_set_last_error(uint32_t code);

/* The Windows name of a code of dirov_get_last_error and a plain sentence,
 * "NAME: sentence", e.g. "ERROR_SEM_TIMEOUT: semaphore timeout: the board did
 * not answer in time"; "ERROR_<code>: unknown error" for a code the library
 * does not leave. The text is static (an unknown code's is per thread, valid
 * until the thread's next call); never NULL. */
DIROV_API const char* dirov_strerror(uint32_t code);

/* Time-out in milliseconds of every synchronous transfer the library makes:
 * the writes and reads of a command exchange (usb_comms and every board
 * command) and the control requests (the DFU and bootloader requests, and so
 * the interface open, the download and FirmwareUpgrade). 0, the default, is
 * no time-out: a call waits as long as the board takes. A transfer that takes
 * longer fails as it would on any other failure (-1, NULL) with 121
 * (ERROR_SEM_TIMEOUT) in dirov_get_last_error; a command or DFU request that
 * timed out leaves the board's late answer unread: the read is aborted on its
 * pipe where the backend can, and otherwise dropped when it comes. The time
 * counts real time, also under the simulated board's virtual clock. Before
 * the first call the time-out is the environment variable
 * DIROV410_TIMEOUT=<milliseconds> (read once; a value that is no number up to
 * 2147483647 is reported once as a warning line and gives no time-out).
 * Process-wide, for every thread. Returns 0, or -1 with last error 87 for
 * more than 2147483647 ms (the time-out is then unchanged). The capture
 * stream is not timed: dirov_get_next_packet waits with a time-out of its
 * own. */
DIROV_API int32_t dirov_set_timeout(uint32_t ms);
/* The time-out in force, in milliseconds (0: none). */
DIROV_API uint32_t dirov_get_timeout(void);

/* Frees memory the library allocated and handed over (a CommandReply and its
 * Data, a dfu_file_read image, ELF section data, ...) with the library's own
 * C runtime. Use it instead of free whenever the caller's C runtime may not be
 * the library's: on Windows from a program or language binding built against
 * another CRT than msvcrt.dll. NULL is ignored. */
DIROV_API void dirov_free(void* p);

/* Download progress: dfu_dnload_firmware calls the hook on its own thread
 * after each block the board accepted, with the number of blocks accepted so
 * far (1..count) and the image's record count. NULL removes it. */
typedef void (*dirov_dfu_progress_cb)(uint32_t block, uint32_t count, void* user);
DIROV_API void dirov_set_dfu_progress(dirov_dfu_progress_cb cb, void* user);

/* dfu_dnload_firmware for an image whose size in bytes is known: every
 * record must lie inside it. Both downloads return -4, sending nothing, for a
 * malformed image: a record running past `size`, more than 65,535 records
 * (block numbers are 16 bits), or no image with a non-zero count. A stalled
 * block followed by status 0, or a block the board took only in part, gives
 * -1. */
DIROV_API int32_t dirov_dfu_dnload_image(WINUSB_INTERFACE_HANDLE h, const uint8_t* image,
                                         uint32_t size, uint32_t count);

/* ---- Several boards, and the library's version ---- */

#define DIROV_SERIAL_SIZE 128

/* One present interface of a board. */
typedef struct dirov_device_info {
    char path[DIROV_MAX_PATH];      /* as RetrieveDevicePath gives it; a longer one is cut */
    char serial[DIROV_SERIAL_SIZE]; /* string descriptor 3 as UTF-8, cut to 127 bytes at a
                                       character boundary; "" when the board cannot be asked
                                       (held by another process, no access rights, no
                                       such string) */
    uint16_t vendor_id;             /* from the device descriptor; 0 when it cannot be read */
    uint16_t product_id;
} dirov_device_info;

/* Enumerates every present interface of `guid` (NULL: the main firmware's),
 * whichever board is selected, in enumeration order (the order in which
 * RetrieveDevicePath would meet them). Returns how many there are and fills
 * the first min(that, capacity) records of `out`; call it with capacity 0
 * (`out` may then be NULL) to size the array. The board behind each record
 * filled is opened for a moment to read its descriptors (one this process
 * holds open is asked through its open handle instead). -1 for a negative
 * capacity, a NULL `out` with a positive capacity, or an enumeration failure
 * (its code in dirov_get_last_error). */
DIROV_API int32_t dirov_list_devices(const GUID* guid, dirov_device_info* out, int32_t capacity);

/* Selects the board with this serial (string descriptor 3, compared byte for
 * byte as UTF-8) for every discovery from now on; NULL or "" clears the
 * selection, so the first board found serves again. The selection is
 * process-wide, one board at a time, and may be changed from any thread; a
 * board already open stays open. Before the first call the selection is the
 * environment variable DIROV410_DEVICE=<serial> (read once, at the first
 * discovery or selection; a value of 128 bytes or more matches no board).
 * Returns 0, or -1 with the selection unchanged for a serial of 128 bytes or
 * more. A board that shows no serial on some face (a bootloader without
 * string descriptor 3) cannot be found on that face while selected. */
DIROV_API int32_t dirov_select_device(const char* serial);

/* The library's version, "MAJOR.MINOR.PATCH". While MAJOR is 0, each MINOR
 * may change the API. */
DIROV_API const char* dirov_version(void);

/* The board's refusal of the last command this thread sent: "COMMAND: text"
 * from its "CSTAT" reply other than "CSTAT OK", or "" when the last reply
 * was no refusal (or no reply came). Write commands return 0 for any reply,
 * a refusal included; this tells them apart. Valid until the thread's next
 * command. */
DIROV_API const char* dirov_get_last_refusal(void);

/* ---- The library's diagnostic lines ---- */

#define DIROV_LOG_ERROR 1
#define DIROV_LOG_WARNING 2
#define DIROV_LOG_INFO 3

/* Receives each diagnostic line: `line` is exactly the text the library
 * would have printed (prefixes included), without the trailing newline. */
typedef void (*dirov_log_fn)(void* user, int32_t level, const char* line);

/* Routes the library's diagnostic lines to `fn` instead of stdout/stderr;
 * NULL restores printing. The handler may be called from any thread (the
 * capture and save threads included), concurrently, and must not call
 * dirov_set_log_handler itself. The library logs with none of its packet
 * store's locks held, so the handler may call the packet store's and the
 * virtual buffers' functions; a line logged by a packet callback's own call
 * is logged under the registration lock the callback runs with, and the
 * handler is then bound by what a callback may call. dirov_set_log_handler returns once no call
 * of the handler it replaces is still running, so `user` may be released
 * then. Lines are `DIROV_LOG_ERROR`, `DIROV_LOG_WARNING` or `DIROV_LOG_INFO`;
 * the packet store's lines carry their "[ERROR] file:line: " or
 * "[INFO] file:line: " prefix. A line from an attempt that a retry loop may
 * still make good (each reopen after the main firmware starts, after a
 * detach or a reset, in Hx410DItfOpen and FirmwareUpgrade) is
 * `DIROV_LOG_INFO` whatever it says; the loop's final failure is an error.
 * Without a handler, the environment variable
 * DIROV410_LOG=off|error|warning|info (read once) sets which lines print;
 * unset, every line prints; any other value prints every line too and is
 * reported once, as a warning line, when a handler is set or at the first
 * line the library logs, whichever comes first. Functions whose job is to print (print_struct,
 * ShowBufStatus, ShowPacketInfo, ShowBufferInfo) always print. */
DIROV_API void dirov_set_log_handler(dirov_log_fn fn, void* user);

#ifdef __cplusplus
}
#endif

#endif /* DIROV410_H */
