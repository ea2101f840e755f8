/**
 * \file dirov410.h
 * \brief dirov410: host library for the dirov410 USB interface board.
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

/**
 * \def DIROV_API
 * \ingroup open
 * \brief Marks the names the library exports; only these leave it.
 *
 * On Windows a program links dirov410.dll through its import library (or
 * the .def file); DIROV410_STATIC marks code linked with the library's
 * objects directly.
 */
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

/** \addtogroup open
 * @{ */

/* ---- Windows types the API uses, defined portably off Windows ----
 * On Windows GUID, HANDLE, BOOL and HRESULT come from <windows.h>, and
 * WINUSB_INTERFACE_HANDLE is the one of <winusb.h> (the same PVOID). The
 * handles this library hands out are its own: pass them only to its
 * functions, never to WinUsb_* calls. */
#ifdef _WIN32
#ifndef __WUSB_H__
/** The interface handle the library hands out: its own, for its functions only. */
typedef PVOID WINUSB_INTERFACE_HANDLE;
#endif
#else
/** A Windows result code: negative on failure (Windows: from `<windows.h>`). */
typedef int32_t HRESULT;
/** A Windows truth value, 0 false (Windows: from `<windows.h>`). */
typedef int32_t BOOL;
/** A Windows object handle (Windows: from `<windows.h>`). */
typedef void* HANDLE;
/** The interface handle the library hands out. On Windows it is the one of
 * `<winusb.h>` (the same PVOID), but the handles this library hands out are
 * its own: pass them only to its functions, never to WinUsb_* calls. */
typedef void* WINUSB_INTERFACE_HANDLE;
/** A Windows GUID, laid out as in `<windows.h>` (which defines it on Windows). */
typedef struct _GUID {
    uint32_t Data1;   /**< first 8 hex digits */
    uint16_t Data2;   /**< next 4 hex digits */
    uint16_t Data3;   /**< next 4 hex digits */
    uint8_t Data4[8]; /**< last 16 hex digits, byte by byte */
} GUID;
#endif

/* ---- Device record and interface GUIDs ---- */

/** Size of DeviceData.DevicePath and of dirov_device_info.path, the NUL included. */
#define DIROV_MAX_PATH 260

/** A device record: an open board interface. */
struct DeviceData {
    int32_t IsOpen;                       /**< 1 while open */
    WINUSB_INTERFACE_HANDLE WinUsbHandle; /**< the interface handle commands take */
    HANDLE FileHandle;                    /**< the opened device, below the interface */
    char DevicePath[DIROV_MAX_PATH];      /**< the path it was opened from */
};
/** The device record's type name. */
typedef struct DeviceData DEVICE_DATA;

/** The library's one device record. */
DIROV_API extern DEVICE_DATA DeviceData;

/** The public USB device interface class; exported for applications, the
 * library does not use it. */
DIROV_API extern const GUID GUID_DEVINTERFACE;
/** The board running its main firmware: the interface RetrieveDevicePath and
 * OpenDevice look for when given NULL. */
DIROV_API extern const GUID GUID_DEVINTERFACE_HX4104;
/** Exported for applications; the library does not use it. */
DIROV_API extern const GUID GUID_DFU_INTERFACE;
/** The board's DFU interface: its bootloader, where Hx410DItfOpen opens it
 * first and FirmwareUpgrade downloads (a main firmware that offers run-time
 * DFU shows it too). */
DIROV_API extern const GUID GUID_DFU_MAIN_INTERFACE;
#ifndef __WINUSBIO_H
/** Exported for applications; the library does not use it. MinGW's
 * `<winusbio.h>` defines a GUID of this name with another value: a program
 * that includes `<winusb.h>` before this header sees that one. */
DIROV_API extern const GUID WinUSB_TestGuid;
#endif

/** Finds a board's interface path.
 *
 * The path of the first present interface of `guid` (NULL: the main
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
/** Opens `device` on the first present interface of `guid` (NULL: the main
 * firmware's), found as RetrieveDevicePath finds it: an HRESULT, negative
 * on failure, with `*noDevice` set when no board was there. */
DIROV_API HRESULT OpenDevice(DEVICE_DATA* device, BOOL* noDevice, const GUID* guid);
/** Closes `device`.
 *
 * Cancels what is in flight on the device: a read waiting on it (a capture
 * thread's included) returns ERROR_OPERATION_ABORTED (995) at once, a read of
 * the closed handle never takes data meant for a handle opened later, and the
 * interface is given up so that the device can be opened again at once. A
 * capture thread whose read is cancelled this way ends with status -1. */
DIROV_API void CloseDevice(DEVICE_DATA* device);

/** @} */

/* ---- Command exchange ---- */

/** \addtogroup commands
 * @{ */

/** The parsed reply of one command. The caller frees `Data`, then the record. */
typedef struct CommandReply {
    char Command[128]; /**< the command word the reply echoes */
    char Type[128];    /**< the reply's kind: "CSTAT" for a status reply, else "DATA" */
    /** A value reply's 32-bit value (4 bytes, machine order), or a counted
     * reply's payload (at least 4 bytes, zero-filled); NULL when there is
     * none. From malloc. */
    uint8_t* Data;
    uint8_t DataLength; /**< payload bytes of a counted reply; 0 for a value reply */
    /** The status text of a "CSTAT" reply; "none" for a data reply, or why
     * the reply could not be read. */
    char Error[128];
} CommandReply;

#pragma pack(push, 1)
/** Raw bytes appended to a command in the same OUT transfer. Packed: 4 bytes plus a pointer. */
typedef struct PayloadPart {
    uint32_t Length;     /**< bytes at Data */
    const uint8_t* Data; /**< the bytes, sent unchanged */
} PayloadPart;
#pragma pack(pop)

/** Sends one command line (with `partCount` payload parts after it, in the
 * same transfer) and returns its parsed reply, or NULL when the exchange
 * fails. The caller frees the reply's Data, then the record. */
DIROV_API CommandReply* usb_comms(WINUSB_INTERFACE_HANDLE handle, const char* command,
                                  int32_t partCount, const PayloadPart* parts);
/** Parses one reply into `out`.
 *
 * `reply` is a NUL-terminated string: a counted payload ("DATA #n") must lie
 * before the first NUL byte, or the record reports a short payload with Data
 * NULL. usb_comms parses the bytes received by their count, so payloads it
 * returns may hold NUL bytes. */
DIROV_API void parse_reply(char* reply, CommandReply* out);
/** Prints a reply record on stdout. */
DIROV_API void print_struct(const CommandReply* reply);

/** @} */

/* ---- Interface open, close and identity ---- */

/** \addtogroup open
 * @{ */

/** What the interface open found. */
typedef struct ItfOpenResult {
    int32_t ConnState; /**< 0 no board, 1 the board stays in its bootloader, 2 main firmware */
    uint32_t BootloaderVersion; /**< the bootloader's version */
    int32_t FirmwareValid;      /**< the bootloader holds a valid main firmware */
} ItfOpenResult;

/** Opens the board's interface, starting its main firmware from the
 * bootloader when needed. */
DIROV_API ItfOpenResult Hx410DItfOpen(void);
/** Does nothing; returns 0. CloseDevice(_GetDeviceData()) closes the board. */
DIROV_API int32_t Hx410DItfClose(void);
/** The library's device record, DeviceData. */
DIROV_API DEVICE_DATA* _GetDeviceData(void);
/** The interface handle of the open board, which the board commands take. */
DIROV_API WINUSB_INTERFACE_HANDLE _GetWinUsbHandle(void);
/** Reads the board's serial number (UTF-16LE).
 *
 * Copies `length` bytes (0 to 65,533; buffer non-NULL when length > 0) of
 * string descriptor 3 after its 2-byte header; -1 for other arguments or a
 * failed request. A shorter descriptor prints a line on stderr and leaves
 * the missing bytes 0; the result is still 0. */
DIROV_API int32_t GetDeviceSerialNumber(uint8_t* buffer, int32_t length);

/** @} */

/* ---- Bus register access (CBUS) ---- */

/** \addtogroup commands_cbus
 * Each function is one command exchange on the handle from
 * _GetWinUsbHandle; \ref board_commands tells what each argument means.
 *
 * Board commands that return a value give -1 when the reply carries none:
 * a "CSTAT" reply, an unreadable reply, or a counted reply with a payload
 * ("DATA #n", n > 0; "DATA #0" reads as the value 0).
 * Read streams copy the reply's DataLength bytes (the buffer needs room for
 * 255) and give 0, also for a value reply, which copies nothing; a count
 * above 255 or below 0, which no reply could carry, gives -1 before anything
 * is sent.
 * @{ */

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

/** @} */

/* ---- General-purpose and dedicated I/O ---- */

/** \addtogroup commands_io
 * Each function is one command exchange on the handle from
 * _GetWinUsbHandle; \ref board_commands tells what each argument means.
 * @{ */

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

/** @} */

/* ---- I2S host port, system, UART, SD card ---- */

/** \addtogroup commands_port
 * Each function is one command exchange on the handle from
 * _GetWinUsbHandle; \ref board_commands tells what each argument means.
 * @{ */

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

/** @} */

/* ---- Packet store ---- */

/** \addtogroup capture
 * @{ */

/** Bytes in a packet's data block. */
#define DIROV_PACKET_DATA_SIZE 20480

/** One packet of the process-wide store: a block of captured data with a
 * lock count.
 *
 * A packet stays valid while its holder keeps a lock on it (lock above 0).
 * Following `next` is only safe while holding a lock on the packet: without
 * one, the store may reuse or remove it at any time. */
typedef struct DataPacket {
    int32_t id;              /**< the record's number, counted up as records are made */
    int32_t size;            /**< bytes of data held */
    int32_t lock;            /**< lock count; 0: free, the store may reuse it */
    uint8_t* data;           /**< the data block */
    struct DataPacket* next; /**< the next packet of the store's list */
    struct DataPacket* last; /**< the previous packet of the store's list */
} DataPacket;

/** A packet notification callback.
 *
 * Called on the publishing thread (the capture thread for captured packets)
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

/** A record without a data block.
 *
 * A block the caller puts in `data` stays the caller's: the store never
 * hands it on as a 20480-byte block, never frees it (RemovePacket with
 * freeData does) and does not count it against the store limit. */
DIROV_API DataPacket* CreatePacketStruct(void);
/** A record with a 20480-byte block: the block of the oldest free packet, or
 * a new one while the store's blocks stay within its limit
 * (dirov_set_store_limit). NULL, with a message, at the limit or when memory
 * runs out. */
DIROV_API DataPacket* InitDataPacket(void);
/** A packet with a copy of the `count` bytes (0 to 20480) at `src`,
 * published; NULL, with a message, for other counts or a NULL `src`.
 *
 * Returns a published packet on which nobody holds a lock, unless a
 * registered callback kept one: the store may reuse it at once. Take a lock
 * (IncPktLock) from a callback to keep it. */
DIROV_API DataPacket* NewDataPacket(const uint8_t* src, int32_t count);
/** Publishes `packet`: each registered callback gets it with a lock of its own. */
DIROV_API void PublishDataPacket(DataPacket* packet);
/** Takes one lock on `packet`. */
DIROV_API void IncPktLock(DataPacket* packet);
/** Gives back one lock on `packet`.
 *
 * A packet whose count falls to 0 may be reused or freed at once: read its
 * `next` before giving back the lock when walking on. Following `next` is
 * only safe while holding a lock on the packet. While no capture thread runs,
 * the store keeps 8 free blocks and frees the blocks of packets freed beyond
 * those (also after a lowered limit, while above it). */
DIROV_API void DecPktLock(DataPacket* packet);
/** Takes `packet` out of the store and frees the record, and its data block
 * when `freeData` is non-zero: 0, or -1 for NULL or a packet still locked. */
DIROV_API int32_t RemovePacket(DataPacket* packet, int32_t freeData);
/** The oldest free packet: nobody holds it, and the store may reuse it at
 * once, so it is only a hint unless a lock is taken under the caller's own
 * ordering with the producer. */
DIROV_API DataPacket* NxtUnlocked(void);
/** Registers a callback for every packet published from now on. */
DIROV_API int32_t RegisterPktNotify(PktNotifyCb cb);
/** Removes a callback registered with RegisterPktNotify. */
DIROV_API int32_t UnregisterPktNotify(PktNotifyCb cb);
/** Prints the store's packets (each one's details when `verbose`). */
DIROV_API void ShowPacketInfo(int32_t verbose);

/** Sets the most bytes of data blocks the store holds.
 *
 * The most bytes of data blocks the store holds; 0 restores the default, the
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

/** The stream offset of a captured packet's first byte, counting dropped
 * transfers, so a jump from the previous packet's offset + size is a gap of
 * exactly that many bytes. -1 for NULL or a packet that the capture thread
 * did not fill. The packet must be one of the store's, held by the caller. */
DIROV_API int64_t dirov_packet_stream_offset(const DataPacket* p);

/** @} */

/* ---- Virtual sample buffers ---- */

/** \addtogroup buffers
 * @{ */

/** One virtual sample buffer: a window over the latest bytes of the published
 * packets. The caller owns it until RemoveBuffer. */
typedef struct VirtualBuffer {
    int32_t size;          /**< bytes the buffer gives */
    int32_t overlap;       /**< non-zero: a window may share bytes with the previous one */
    uint32_t lastCounter;  /**< the store's running byte count when the window last moved */
    DataPacket* newestPkt; /**< the newest packet of the window */
    int32_t index;         /**< the buffer's slot */
    DataPacket* firstPkt;  /**< the oldest packet of the window */
    int32_t pktCount;      /**< packets in the window */
    int32_t offset;        /**< where the window starts in firstPkt */
    int32_t samples;       /**< bytes in the window */
} VirtualBuffer;

/** Registers the buffer service's packet callback.
 *
 * What buffers keep locked: while the buffer service's callback is
 * registered, it holds one lock on every packet of its window (the latest
 * bytes of the largest buffer, plus up to two packets) until the window moves
 * past the packet or UnregisterBufferCb. Each buffer, from a GetBufferData
 * that returned 0, holds one lock on every packet of its own window until its
 * next GetBufferData moves the window or RemoveBuffer. Those packets are not
 * reused meanwhile. */
DIROV_API int32_t RegisterBufferCb(void);
/** Removes the buffer service's callback and gives back its locks. */
DIROV_API int32_t UnregisterBufferCb(void);
/** A buffer of the latest `size` bytes; NULL on failure. With `overlap`
 * non-zero a window may move as soon as new bytes came, sharing bytes with
 * the previous one; with 0 each window holds `size` new bytes. */
DIROV_API VirtualBuffer* CreateNewBuffer(int32_t size, int32_t overlap);
/** Frees a buffer and gives back its locks. */
DIROV_API void RemoveBuffer(VirtualBuffer* buffer);
/** Moves the buffer's window to the latest `size` bytes: 0, or -1 when the
 * store does not hold that many bytes yet or not enough new ones came since
 * the last window (see CreateNewBuffer). */
DIROV_API int32_t GetBufferData(VirtualBuffer* buffer);
/** Copies the buffer's window (its `size` bytes) to `dest`. */
DIROV_API int32_t ExtractBuffData(uint8_t* dest, VirtualBuffer* buffer);
/** Prints the buffers in use. */
DIROV_API void ShowBufferInfo(void);

/** @} */

/* ---- Capture thread ---- */

/** \addtogroup capture
 * @{ */

#ifdef _WIN32
/* The thread id of the DLL's POSIX threads (winpthread's pthread_t). */
typedef uintptr_t dirov_thread_t;
#else
/** The id of a thread the library runs (on Windows, the DLL's POSIX threads'
 * id: winpthread's pthread_t). */
typedef pthread_t dirov_thread_t;
#endif

/** The argument record of a capture thread. */
typedef struct CapThreadArgs {
    DEVICE_DATA* device; /**< the device it reads */
    uint8_t pipeId;      /**< the pipe it reads, 0x82 */
    int32_t stop;        /**< set to ask the thread to stop */
    int32_t status;      /**< the thread's final status: 0, or -1 after a failed read */
} CapThreadArgs;

/** The handle of a capture thread, from CreateCaptureThread. */
typedef struct CapArgs {
    dirov_thread_t thread; /**< the thread */
    CapThreadArgs* args;   /**< its argument record */
} CapArgs;

/** Starts a capture thread reading `pipeId` of `device` into packets. */
DIROV_API CapArgs* CreateCaptureThread(DEVICE_DATA* device, uint8_t pipeId);
/** The capture thread's body (`args`: its CapThreadArgs). */
DIROV_API void* captureThread(void* args);
/** Stops, joins and frees; returns the thread's final status.
 *
 * When the thread does not end within about 100 ms it aborts the pipe; when
 * the abort fails it reports "Pipe abort failed (code): cancelling its
 * transfers" and cancels the read below the abort, so the call always
 * returns. Called from a packet callback of the thread itself, it only asks
 * the thread to stop (its read in flight is cut short): the thread ends once
 * the callback returns and frees its records itself, and the call returns 0.
 * From a callback, a running capture thread other than the caller's is
 * refused with -1. */
DIROV_API int32_t StopCaptureThread(CapArgs* handle);

/** The current or last capture thread's counts, reset when a capture thread
 * starts.
 *
 * `transfers` and `bytes` count the transfers that were published or
 * dropped (the one completed just as a stop is seen is discarded and not
 * counted); `dropped_*` the transfers dropped because the store was at its
 * limit. A capture that drops prints one error line at the first drop and a
 * summary line when it ends. `store_bytes` is the store's block bytes now,
 * `store_peak_bytes` their peak since the capture started. */
typedef struct dirov_capture_stats {
    uint64_t transfers;         /**< transfers published or dropped */
    uint64_t bytes;             /**< their bytes */
    uint64_t dropped_transfers; /**< transfers dropped at the store's limit */
    uint64_t dropped_bytes;     /**< their bytes */
    uint64_t store_bytes;       /**< the store's block bytes now */
    uint64_t store_peak_bytes;  /**< their peak since the capture started */
} dirov_capture_stats;

/** The capture counts: 0 with *out filled; -1 for NULL. */
DIROV_API int32_t dirov_get_capture_stats(dirov_capture_stats* out);

/** @} */

/* ---- Save-to-file thread ---- */

/** \addtogroup save
 * @{ */

/** Size of SaveThreadArgs.fileName, the NUL included. */
#define DIROV_SAVE_NAME_SIZE 120

/** The argument record of a save thread. */
typedef struct SaveThreadArgs {
    char fileName[DIROV_SAVE_NAME_SIZE]; /**< the file it appends to */
    int32_t byteLimit;                   /**< bytes to write, 0: no limit */
    int32_t stop;                        /**< set to ask the thread to stop */
    int32_t status;                      /**< the thread's final status */
} SaveThreadArgs;

/** The handle of a save thread, from CreateSaveThread. */
typedef struct SaveArgs {
    dirov_thread_t thread; /**< the thread */
    SaveThreadArgs* args;  /**< its argument record */
} SaveArgs;

/** Starts a thread that appends the packets published from now on to
 * `fileName`, up to `byteLimit` bytes (0: no limit).
 *
 * One save thread at a time: while one exists (until StopSaveThread, or
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
/** The save thread's body (`args`: its SaveThreadArgs). */
DIROV_API void* DsSaveThread(void* args);
/** Stops, joins and frees a save thread; returns its final status.
 *
 * force 0 without a byte limit: the thread writes the packets handed to it
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
/** 0 while the save thread works, -1 once it has ended (or for NULL). */
DIROV_API int32_t SaveThreadRunning(SaveArgs* handle);

/** @} */

/* ---- Capture and save workers ----
 * Every function here may be called from any thread, in any order: exactly
 * one caller stops, joins and frees each worker thread; a Start while the
 * worker exists or is being stopped is refused. */

/** \addtogroup capture
 * The capture worker's functions, like the save worker's, may be called
 * from any thread, in any order: exactly one caller stops, joins and frees
 * each worker thread; a Start while the worker exists or is being stopped is
 * refused.
 * @{ */

/** Starts the capture worker on the open board, with the in-order reader
 * (GetNextPacket) registered.
 *
 * A start releases the reader's locks left from the last capture (the packet
 * GetNextPacket returned last and the packets still pending). A start left
 * refused while a capture thread ended by itself with an error, until
 * StopCaptureWorker or GetNextPacket reports its end; a thread stopped from a
 * callback is joined by the next start. Refused from a packet callback. */
DIROV_API int32_t StartCaptureWorker(void);
/** Starts without the in-order reader: GetNextPacket then has nothing to
 * read, also when an earlier StartCaptureWorker's capture ended by itself
 * (its reader registration is dropped here). */
DIROV_API int32_t StartCaptureWorkerNoRegister(void);
/** StartCaptureWorker when `registerCb` is non-zero, else
 * StartCaptureWorkerNoRegister. */
DIROV_API int32_t _StartCaptureWorker(int32_t registerCb);
/** Stops the capture worker.
 *
 * Returns the capture thread's final status, or -1 when there is no capture
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
/** The next captured packet, in order, waiting for it.
 *
 * The returned packet stays valid until the next GetNextPacket or the next
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
/** GetNextPacket that gives up after `timeout_ms` milliseconds (0: waits
 * without bound, as GetNextPacket): NULL with dirov_get_last_error() == 121
 * (ERROR_SEM_TIMEOUT) when no packet came in time; otherwise as
 * GetNextPacket, the codes of its NULL included. */
DIROV_API DataPacket* dirov_get_next_packet(uint32_t timeout_ms);
/** Packets captured and not yet read with GetNextPacket. */
DIROV_API int32_t GetPendingCnt(void);
/** The packet GetNextPacket returned last. */
DIROV_API DataPacket* GetCurPacket(void);
/** Prints the reader's highest pending count and the store's packets. */
DIROV_API void ShowBufStatus(int32_t verbose);
/** \ingroup save
 * Starts the save worker: a save thread (CreateSaveThread) on `fileName`,
 * up to `byteLimit` bytes (0: no limit). */
DIROV_API int32_t StartSaveWorker(const char* fileName, int32_t byteLimit);
/** \ingroup save
 * Stops the save worker (see StopSaveThread for `force`).
 *
 * -1 when there is no save worker (a concurrent stop finishes first). From a
 * packet callback it does not wait (see StopSaveThread) and returns 0.
 * Otherwise the save thread's status, -1 for a failed write as
 * StopSaveThread describes. */
DIROV_API int32_t StopSaveWorker(int32_t force);
/** \ingroup save
 * 0 while the save thread works, also while another thread is stopping it;
 * -1 once it has ended or when there is none. */
DIROV_API int32_t SaveWorkerRunning(void);
/** The in-order reader's packet callback, which StartCaptureWorker registers. */
DIROV_API void NewPktCb(DataPacket* packet);

/** @} */

/* ---- DFU and bootloader control requests ---- */

/** \addtogroup upgrade
 * @{ */

#pragma pack(push, 1)
/** DFU_GETSTATUS reply. bwPollTimeout[0] is the most significant byte as this board sends it. */
typedef struct DfuStatus {
    uint8_t bStatus;          /**< the DFU status code, 0 OK (see error_msg) */
    uint8_t bwPollTimeout[3]; /**< milliseconds to wait before the next status query */
    uint8_t bState;           /**< the DFU state (DFU_STATE_APP_IDLE ...) */
    uint8_t iString;          /**< index of a status string descriptor */
} DfuStatus;

/** DFU functional descriptor (type 0x21). */
typedef struct DfuFunctionalDescriptor {
    uint8_t bLength;         /**< 9 */
    uint8_t bDescriptorType; /**< 0x21 */
    uint8_t bmAttributes;    /**< the DFU attributes */
    uint16_t wDetachTimeOut; /**< milliseconds the board waits for a reset after DFU_DETACH */
    uint16_t wTransferSize;  /**< the most bytes of one DFU_DNLOAD block */
    uint16_t bcdDFUVersion;  /**< the DFU version, BCD */
} DfuFunctionalDescriptor;
#pragma pack(pop)

/** Size of the bootloader state record. */
#define DIROV_BOOTLOADER_STATE_SIZE 28

/** Bootloader state; bit 0 of bytes[0] set: the main firmware needs no start. */
typedef struct BootloaderState {
    uint8_t bytes[DIROV_BOOTLOADER_STATE_SIZE]; /**< the state as the bootloader sends it */
} BootloaderState;

/** \name DFU 1.1 state codes
 * DFU 1.1 state codes (the bState of DfuStatus, the reply of dfu_getstate).
 * @{ */
#define DFU_STATE_APP_IDLE 0                /**< appIDLE */
#define DFU_STATE_APP_DETACH 1              /**< appDETACH */
#define DFU_STATE_DFU_IDLE 2                /**< dfuIDLE */
#define DFU_STATE_DFU_DNLOAD_SYNC 3         /**< dfuDNLOAD-SYNC */
#define DFU_STATE_DFU_DNBUSY 4              /**< dfuDNBUSY */
#define DFU_STATE_DFU_DNLOAD_IDLE 5         /**< dfuDNLOAD-IDLE */
#define DFU_STATE_DFU_MANIFEST_SYNC 6       /**< dfuMANIFEST-SYNC */
#define DFU_STATE_DFU_MANIFEST 7            /**< dfuMANIFEST */
#define DFU_STATE_DFU_MANIFEST_WAIT_RESET 8 /**< dfuMANIFEST-WAIT-RESET */
#define DFU_STATE_DFU_UPLOAD_IDLE 9         /**< dfuUPLOAD-IDLE */
#define DFU_STATE_DFU_ERROR 10              /**< dfuERROR */
/** @} */

/** DFU_DETACH with `timeout` milliseconds.
 *
 * The DFU requests are one control transfer each, to the interface the
 * handle was opened on (as WinUSB addresses a handle's interface; on the
 * main firmware the run-time DFU interface is interface 1); no state, no
 * retry. A request the board does not take in its current DFU state is
 * stalled (-1, last error 31) and, as DFU 1.1 has it, moves the board to
 * dfuERROR: dfu_abort answers only in dfuIDLE, dfuDNLOAD-IDLE and
 * dfuUPLOAD-IDLE, dfu_clrstatus only in dfuERROR, and a zero-length
 * dfu_dnload before any data is stalled too. dfu_dnload_firmware and
 * dfu_upload_firmware bring the board back to dfuIDLE from there. The
 * requests with a data stage return the number of bytes transferred, or -1;
 * a reply shorter than asked is not an error here (the record is left partly
 * filled). The download treats a status record shorter than 6 bytes as a
 * failed request. A request whose buffer is NULL gives -1 before any
 * transfer (dfu_dnload only with a non-zero length). */
DIROV_API int32_t dfu_detach(WINUSB_INTERFACE_HANDLE h, uint16_t timeout);
/** DFU_DNLOAD of `length` bytes as block number `block` (see dfu_detach). */
DIROV_API int32_t dfu_dnload(WINUSB_INTERFACE_HANDLE h, const uint8_t* buffer, uint32_t length,
                             uint16_t block);
/** DFU_UPLOAD of up to `length` bytes of block number `block` (see dfu_detach). */
DIROV_API int32_t dfu_upload(WINUSB_INTERFACE_HANDLE h, uint8_t* buffer, uint32_t length,
                             uint16_t block);
/** DFU_GETSTATUS into `status` (see dfu_detach). */
DIROV_API int32_t dfu_getstatus(WINUSB_INTERFACE_HANDLE h, DfuStatus* status);
/** DFU_CLRSTATUS (see dfu_detach). */
DIROV_API int32_t dfu_clrstatus(WINUSB_INTERFACE_HANDLE h);
/** DFU_GETSTATE into `state` (see dfu_detach). */
DIROV_API int32_t dfu_getstate(WINUSB_INTERFACE_HANDLE h, uint8_t* state);
/** DFU_ABORT (see dfu_detach). */
DIROV_API int32_t dfu_abort(WINUSB_INTERFACE_HANDLE h);
/** The board's class request 0x0A, which makes the bootloader leave DFU mode
 * after a download (see dfu_detach). */
DIROV_API int32_t dfu_start(WINUSB_INTERFACE_HANDLE h);
/** Reads the DFU functional descriptor into `desc` (see dfu_detach). */
DIROV_API int32_t dfu_getdescriptor(WINUSB_INTERFACE_HANDLE h, DfuFunctionalDescriptor* desc);

/** The bootloader's version (vendor request 0).
 *
 * The one- and four-byte bootloader requests give -1 when the board sends
 * fewer bytes than asked. bootloader_state zeroes the record first, returns
 * the number of bytes received, and -2 for a NULL record. */
DIROV_API int32_t bootloader_version(WINUSB_INTERFACE_HANDLE h);
/** Whether the bootloader holds a valid main firmware (vendor request 1; see
 * bootloader_version): the reply byte, 0 when not, non-zero when it does;
 * -1, non-zero too, when the request fails. */
DIROV_API int32_t bootloader_is_firmware_valid(WINUSB_INTERFACE_HANDLE h);
/** Asks the bootloader to start the main firmware (vendor request 2; see
 * bootloader_version): the reply byte, non-zero when the board starts it;
 * 0 and -1 are failures. */
DIROV_API int32_t bootloader_start_main(WINUSB_INTERFACE_HANDLE h);
/** Resets the board (vendor request 3; see bootloader_version); a running
 * main firmware comes back as the bootloader. The reply byte, or -1. */
DIROV_API int32_t bootloader_reset(WINUSB_INTERFACE_HANDLE h);
/** Reads the bootloader state (vendor request 4; see bootloader_version). */
DIROV_API int32_t bootloader_state(WINUSB_INTERFACE_HANDLE h, BootloaderState* state);

/* ---- DFU download and status texts ---- */

/** The texts of the DFU status codes 0 to 15. */
DIROV_API extern const char* const error_msg[16];

/** The bStatus of the last DFU download's status queries. */
DIROV_API int32_t dfu_get_last_error(void);
/** The text of DFU status `code` (error_msg), NULL outside 0 to 15. */
DIROV_API const char* dfu_get_error_str(int32_t code);
/** The text of dfu_get_last_error(). */
DIROV_API const char* dfu_get_last_error_str(void);
/** Downloads a DFU image to the board.
 *
 * Downloads `count` records, one DFU_DNLOAD block each, then the zero-length
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
/** The readiness steps of dfu_dnload_firmware (with its recovery), then an
 * empty image: 0, -1 or -2; nothing is uploaded. */
DIROV_API int32_t dfu_upload_firmware(WINUSB_INTERFACE_HANDLE h, uint8_t** image, uint32_t* size);

/** @} */

/* ---- DFU file suffix ---- */

/** \addtogroup firmware_files
 * @{ */

/** The DFU 1.1 file suffix: the last 16 bytes of a DFU file. */
typedef struct DfuSuffix {
    uint16_t bcdDevice;        /**< the device release the file is for */
    uint16_t idProduct;        /**< the USB product id it is for */
    uint16_t idVendor;         /**< the USB vendor id it is for */
    uint16_t bcdDFU;           /**< the DFU version, 0x0100 */
    uint8_t ucDfuSignature[3]; /**< 'U', 'F', 'D' */
    uint8_t bLength;           /**< 16 */
    uint32_t dwCRC;            /**< the CRC of the file's bytes before this field */
} DfuSuffix;

/** \name Results of the suffix functions
 * Results of the suffix functions; -1 when a required argument is absent.
 * A suffix is well formed when bLength is 16, the signature 'U','F','D' and
 * bcdDFU 0x0100 (codes 2, 3, 4, tested in that order).
 * @{ */
#define DFU_SUFFIX_OK 0            /**< success */
#define DFU_SUFFIX_IO_ERROR 1      /**< position, seek, read, write, truncate or memory */
#define DFU_SUFFIX_BAD_LENGTH 2    /**< bLength is not 16 */
#define DFU_SUFFIX_BAD_SIGNATURE 3 /**< the signature is not 'U','F','D' */
#define DFU_SUFFIX_BAD_VERSION 4   /**< bcdDFU is not 0x0100 */
#define DFU_SUFFIX_OTHER_PRODUCT 5 /**< dfu_file_compare_suffix: targets differ */
#define DFU_SUFFIX_OTHER_VENDOR 6  /**< dfu_file_compare_suffix: the vendors differ */
#define DFU_SUFFIX_OTHER_DEVICE 7  /**< dfu_file_compare_suffix: the device releases differ */
#define DFU_SUFFIX_BAD_CRC 8       /**< well formed, but dwCRC does not match the bytes before it */
#define DFU_SUFFIX_PRESENT 9       /**< dfu_file_add_suffix: the file already ends with a suffix */
/** @} */

/** Fills all 16 bytes; dwCRC takes `crc` most significant byte first. */
DIROV_API int32_t dfu_file_new_suffix(DfuSuffix* suffix, uint32_t crc, uint16_t vendorId,
                                      uint16_t productId, uint32_t deviceRelease);
/** The last 16 bytes, not validated; `suffix` may be NULL. 0 or 1. */
DIROV_API int32_t dfu_file_read_suffix(FILE* stream, DfuSuffix* suffix);
/** Appends a suffix with the stream's CRC.
 *
 * Computes the CRC of the whole stream and appends the suffix with it; the
 * stream must be open for reading and writing. A file that already ends with
 * a well-formed suffix is left as it is: DFU_SUFFIX_PRESENT. The 16 bytes go
 * out in one write, past the stream's buffer; when that fails (a full disk)
 * the file is cut back to its old length and the result is 1. The position
 * is restored. */
DIROV_API int32_t dfu_file_add_suffix(FILE* stream, DfuSuffix* suffix);
/** Whether `suffix` is well formed: 0, 2, 3 or 4. */
DIROV_API int32_t dfu_file_verify_suffix(const DfuSuffix* suffix);
/** Cuts a well-formed suffix off the file; dwCRC is not checked first. */
DIROV_API int32_t dfu_file_remove_suffix(FILE* stream);
/** Validates b, then a, then compares idProduct, idVendor, bcdDevice. */
DIROV_API int32_t dfu_file_compare_suffix(const DfuSuffix* a, const DfuSuffix* b);
/** Validates the stream's suffix and its CRC: 0, 1, 2, 3, 4 or
 * DFU_SUFFIX_BAD_CRC. The position is restored. */
DIROV_API int32_t dfu_file_check_suffix(FILE* stream);

/* ---- ELF32 image reader ---- */

/** The ELF32 file header, as read (little-endian fields). */
typedef struct Elf32FileHeader {
    uint8_t e_ident[16];  /**< magic, class, data encoding, version */
    uint16_t e_type;      /**< object file type */
    uint16_t e_machine;   /**< architecture */
    uint32_t e_version;   /**< object file version */
    uint32_t e_entry;     /**< entry point address */
    uint32_t e_phoff;     /**< program header table offset */
    uint32_t e_shoff;     /**< section header table offset */
    uint32_t e_flags;     /**< processor flags */
    uint16_t e_ehsize;    /**< this header's size */
    uint16_t e_phentsize; /**< size of one program header */
    uint16_t e_phnum;     /**< number of program headers */
    uint16_t e_shentsize; /**< size of one section header */
    uint16_t e_shnum;     /**< number of section headers */
    uint16_t e_shstrndx;  /**< index of the section name string table */
} Elf32FileHeader;

/** An ELF32 program header, as read. */
typedef struct Elf32ProgramHeader {
    uint32_t p_type;   /**< segment type */
    uint32_t p_offset; /**< file offset */
    uint32_t p_vaddr;  /**< virtual address */
    uint32_t p_paddr;  /**< physical address */
    uint32_t p_filesz; /**< bytes in the file */
    uint32_t p_memsz;  /**< bytes in memory */
    uint32_t p_flags;  /**< segment flags */
    uint32_t p_align;  /**< alignment */
} Elf32ProgramHeader;

/** An ELF32 section header, as read. */
typedef struct Elf32SectionHeader {
    uint32_t sh_name;      /**< name: offset in the section name string table */
    uint32_t sh_type;      /**< section type */
    uint32_t sh_flags;     /**< section flags */
    uint32_t sh_addr;      /**< address in memory */
    uint32_t sh_offset;    /**< file offset */
    uint32_t sh_size;      /**< bytes */
    uint32_t sh_link;      /**< linked section index */
    uint32_t sh_info;      /**< extra information */
    uint32_t sh_addralign; /**< alignment */
    uint32_t sh_entsize;   /**< entry size of a table section */
} Elf32SectionHeader;

/** The file header of an ELF32 image (malloc), or NULL. */
DIROV_API Elf32FileHeader* elf_get_file_header(FILE* stream);
/** Program header number `index` (malloc), or NULL. */
DIROV_API Elf32ProgramHeader* elf_get_program_header(FILE* stream, const Elf32FileHeader* header,
                                                     uint32_t index);
/** The header of the section called `name` (malloc), or NULL. */
DIROV_API Elf32SectionHeader* elf_get_section_header(FILE* stream, const Elf32FileHeader* header,
                                                     const char* name);
/** The bytes of `section` (malloc), their count in `*size`, or NULL. */
DIROV_API uint8_t* elf_get_section_data(FILE* stream, const Elf32FileHeader* header,
                                        const Elf32SectionHeader* section, uint32_t* size);
/** The bytes of the section called `name` in the ELF file at `path` (malloc),
 * their count in `*size`, or NULL.
 *
 * `path` must name a regular file: anything else (a FIFO, a directory, a
 * device) gives NULL at once, without blocking. */
DIROV_API uint8_t* elf_get_section_data_from_file(const char* path, const char* name,
                                                  uint32_t* size);

/* ---- DFU file ---- */

/** Bytes of an image record's header. */
#define DIROV_DFU_RECORD_HEADER 8
/** The most data bytes of one image record. */
#define DIROV_DFU_RECORD_MAX_DATA 2040

/** Makes a DFU file of the sections `sectionNames` (`count` of them, with
 * their record ids `sectionIds`) of the ELF file at `elfPath`.
 *
 * 0, or 1 on any failure, with the file at dfuPath left as it was. The
 * records go to a new file beside dfuPath (`<dfuPath>.<8 hex digits>.tmp`),
 * created exclusively and never through a symbolic link, which replaces
 * dfuPath in one rename and is removed on every failure. elfPath must name a
 * regular file. A list whose first name is NULL makes an empty file, which
 * dfu_file_read refuses. */
DIROV_API int32_t dfu_file_create(const char* elfPath, const char* dfuPath, uint32_t count,
                                  const char* const* sectionNames, const uint8_t* sectionIds);
/** Reads the image records of a DFU file (malloc) and their count.
 *
 * 0, or 1 with *image NULL and *count 0 (stored whenever both are given).
 * The last 16 bytes are taken as a suffix and left out of the image only
 * when dfu_file_check_suffix gives 0, that is when the suffix is well formed
 * and its CRC matches; a well-formed suffix with a wrong CRC fails the read.
 * The read fails for a path that is no regular file (never blocking on a
 * FIFO), for records that do not exactly fill the image or hold 0 or more
 * than 2,040 data bytes, for more than 65,535 records (block numbers are 16
 * bits), and for an image without records (an empty file, or only a
 * suffix): nothing of such a file can reach a board. */
DIROV_API int32_t dfu_file_read(const char* path, uint8_t** image, uint32_t* count);

/** @} */

/* ---- Firmware upgrade ---- */

/** \addtogroup upgrade
 * @{ */

/** Upgrades the board's firmware from the DFU file at `path`.
 *
 * Loads the DFU file, reaches the bootloader's DFU interface (resetting or
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

/** @} */

/* ---- Library extensions ----
 * The Windows last-error code that failed transfers leave behind (31 for a
 * stalled request, 995 for an aborted read, ...), per thread. */

/** \ingroup logging
 * The Windows last-error code that failed transfers leave behind (31 for a
 * stalled request, 995 for an aborted read, ...), per thread. */
DIROV_API uint32_t dirov_get_last_error(void);
/** \ingroup logging
 * Sets this thread's last-error code (0 clears it before a call). */
DIROV_API void dirov_set_last_error(uint32_t code);

/** \ingroup logging
 * The Windows name of a code of dirov_get_last_error and a plain sentence,
 * "NAME: sentence", e.g. "ERROR_SEM_TIMEOUT: semaphore timeout: the board did
 * not answer in time"; "ERROR_<code>: unknown error" for a code the library
 * does not leave. The text is static (an unknown code's is per thread, valid
 * until the thread's next call); never NULL. */
DIROV_API const char* dirov_strerror(uint32_t code);

/** \ingroup commands
 * Sets the time-out in milliseconds of every synchronous transfer the
 * library makes: the writes and reads of a command exchange (usb_comms and
 * every board command) and the control requests (the DFU and bootloader
 * requests, and so the interface open, the download and FirmwareUpgrade).
 * 0, the default, is no time-out: a call waits as long as the board takes. A
 * transfer that takes longer fails as it would on any other failure (-1,
 * NULL) with 121 (ERROR_SEM_TIMEOUT) in dirov_get_last_error; a command or
 * DFU request that timed out leaves the board's late answer unread: the read
 * is aborted on its pipe where the backend can, and otherwise dropped when
 * it comes. The time counts real time, also under the simulated board's
 * virtual clock. Before the first call the time-out is the environment
 * variable DIROV410_TIMEOUT=\<milliseconds\> (read once; a value that is no
 * number up to 2147483647 is reported once as a warning line and gives no
 * time-out). Process-wide, for every thread. Returns 0, or -1 with last
 * error 87 for more than 2147483647 ms (the time-out is then unchanged). The
 * capture stream is not timed: dirov_get_next_packet waits with a time-out
 * of its own. With a time-out set, each transfer runs on a library thread;
 * on Windows these threads are kept, idle, for the rest of the process: one,
 * and one more for each call given up on whose transfer the board has not
 * ended yet. */
DIROV_API int32_t dirov_set_timeout(uint32_t ms);
/** \ingroup commands
 * The time-out in force, in milliseconds (0: none). */
DIROV_API uint32_t dirov_get_timeout(void);

/** \ingroup open
 * Frees memory the library allocated and handed over (a CommandReply and its
 * Data, a dfu_file_read image, ELF section data, ...) with the library's own
 * C runtime. Use it instead of free whenever the caller's C runtime may not be
 * the library's: on Windows from a program or language binding built against
 * another CRT than msvcrt.dll. NULL is ignored. */
DIROV_API void dirov_free(void* p);

/** \addtogroup upgrade
 * @{ */

/** Download progress: dfu_dnload_firmware calls the hook on its own thread
 * after each block the board accepted, with the number of blocks accepted so
 * far (1..count) and the image's record count. */
typedef void (*dirov_dfu_progress_cb)(uint32_t block, uint32_t count, void* user);
/** Sets the download progress hook, called with `user`; NULL removes it. */
DIROV_API void dirov_set_dfu_progress(dirov_dfu_progress_cb cb, void* user);

/** dfu_dnload_firmware for an image whose size in bytes is known: every
 * record must lie inside it. Both downloads return -4, sending nothing, for a
 * malformed image: a record running past `size`, more than 65,535 records
 * (block numbers are 16 bits), or no image with a non-zero count. A stalled
 * block followed by status 0, or a block the board took only in part, gives
 * -1. */
DIROV_API int32_t dirov_dfu_dnload_image(WINUSB_INTERFACE_HANDLE h, const uint8_t* image,
                                         uint32_t size, uint32_t count);

/** @} */

/* ---- Several boards, and the library's version ---- */

/** \addtogroup boards
 * @{ */

/** Size of dirov_device_info.serial, the NUL included. */
#define DIROV_SERIAL_SIZE 128

/** One present interface of a board. */
typedef struct dirov_device_info {
    /** As RetrieveDevicePath gives it; a longer one is cut. */
    char path[DIROV_MAX_PATH];
    /** String descriptor 3 as UTF-8, cut to 127 bytes at a character
     * boundary; "" when the board cannot be asked (held by another process,
     * no access rights, no such string). */
    char serial[DIROV_SERIAL_SIZE];
    uint16_t vendor_id;  /**< from the device descriptor; 0 when it cannot be read */
    uint16_t product_id; /**< from the device descriptor; 0 when it cannot be read */
} dirov_device_info;

/** Lists the boards' interfaces.
 *
 * Enumerates every present interface of `guid` (NULL: the main firmware's),
 * whichever board is selected, in enumeration order (the order in which
 * RetrieveDevicePath would meet them). Returns how many there are and fills
 * the first min(that, capacity) records of `out`; call it with capacity 0
 * (`out` may then be NULL) to size the array. The board behind each record
 * filled is opened for a moment to read its descriptors (one this process
 * holds open is asked through its open handle instead). -1 for a negative
 * capacity, a NULL `out` with a positive capacity, or an enumeration failure
 * (its code in dirov_get_last_error). */
DIROV_API int32_t dirov_list_devices(const GUID* guid, dirov_device_info* out, int32_t capacity);

/** Keeps the library to one board.
 *
 * Selects the board with this serial (string descriptor 3, compared byte for
 * byte as UTF-8) for every discovery from now on; NULL or "" clears the
 * selection, so the first board found serves again. The selection is
 * process-wide, one board at a time, and may be changed from any thread; a
 * board already open stays open. Before the first call the selection is the
 * environment variable DIROV410_DEVICE=\<serial\> (read once, at the first
 * discovery or selection; a value of 128 bytes or more matches no board).
 * Returns 0, or -1 with the selection unchanged for a serial of 128 bytes or
 * more. A board that shows no serial on some face (a bootloader without
 * string descriptor 3) cannot be found on that face while selected. */
DIROV_API int32_t dirov_select_device(const char* serial);

/** @} */

/** \ingroup open
 * The library's version, "MAJOR.MINOR.PATCH". While MAJOR is 0, each MINOR
 * may change the API. */
DIROV_API const char* dirov_version(void);

/** \ingroup commands
 * The board's refusal of the last command this thread sent: "COMMAND: text"
 * from its "CSTAT" reply other than "CSTAT OK", or "" when the last reply
 * was no refusal (or no reply came). Write commands return 0 for any reply,
 * a refusal included; this tells them apart. Valid until the thread's next
 * command. */
DIROV_API const char* dirov_get_last_refusal(void);

/* ---- The library's diagnostic lines ---- */

/** \addtogroup logging
 * @{ */

/** \name Diagnostic line levels
 * @{ */
#define DIROV_LOG_ERROR 1   /**< an error line */
#define DIROV_LOG_WARNING 2 /**< a warning line */
#define DIROV_LOG_INFO 3    /**< an information line */
/** @} */

/** Receives each diagnostic line: `line` is exactly the text the library
 * would have printed (prefixes included), without the trailing newline. */
typedef void (*dirov_log_fn)(void* user, int32_t level, const char* line);

/** Routes the library's diagnostic lines to `fn` instead of stdout/stderr;
 * NULL restores printing.
 *
 * The handler may be called from any thread (the capture and save threads
 * included), concurrently, and must not call dirov_set_log_handler itself.
 * The library logs with none of its packet store's locks held, so the
 * handler may call the packet store's and the virtual buffers' functions; a
 * line logged by a packet callback's own call is logged under the
 * registration lock the callback runs with, and the handler is then bound by
 * what a callback may call. dirov_set_log_handler returns once no call of
 * the handler it replaces is still running, so `user` may be released then.
 * Lines are `DIROV_LOG_ERROR`, `DIROV_LOG_WARNING` or `DIROV_LOG_INFO`; the
 * packet store's lines carry their "[ERROR] file:line: " or
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

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* DIROV410_H */
