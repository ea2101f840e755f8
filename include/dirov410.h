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
 * with free. Diagnostics are single lines on stderr (a few on stdout).
 *
 * Windows: dirov410.dll uses msvcrt.dll's heap and stdio. A program built
 * against another CRT (MSVC's UCRT) frees the library's memory with
 * msvcrt.dll's free, and passes only FILE pointers from msvcrt.dll's fopen.
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

DIROV_API HRESULT RetrieveDevicePath(char* devicePath, uint32_t bufLen, BOOL* noDevice,
                                     const GUID* guid);
DIROV_API HRESULT OpenDevice(DEVICE_DATA* device, BOOL* noDevice, const GUID* guid);
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
DIROV_API int32_t GetDeviceSerialNumber(uint8_t* buffer, int32_t length);

/* ---- Bus register access (CBUS) ---- */

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

typedef void (*PktNotifyCb)(DataPacket* packet);

DIROV_API DataPacket* CreatePacketStruct(void);
DIROV_API DataPacket* InitDataPacket(void);
DIROV_API DataPacket* NewDataPacket(const uint8_t* src, int32_t count);
DIROV_API void PublishDataPacket(DataPacket* packet);
DIROV_API void IncPktLock(DataPacket* packet);
DIROV_API void DecPktLock(DataPacket* packet);
DIROV_API int32_t RemovePacket(DataPacket* packet, int32_t freeData);
DIROV_API DataPacket* NxtUnlocked(void);
DIROV_API int32_t RegisterPktNotify(PktNotifyCb cb);
DIROV_API int32_t UnregisterPktNotify(PktNotifyCb cb);
DIROV_API void ShowPacketInfo(int32_t verbose);

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
DIROV_API int32_t StopCaptureThread(CapArgs* handle);

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

DIROV_API SaveArgs* CreateSaveThread(const char* fileName, int32_t byteLimit);
DIROV_API void* DsSaveThread(void* args);
DIROV_API int32_t StopSaveThread(SaveArgs* handle, int32_t force);
DIROV_API int32_t SaveThreadRunning(SaveArgs* handle);

/* ---- Capture and save workers ---- */

DIROV_API int32_t StartCaptureWorker(void);
DIROV_API int32_t StartCaptureWorkerNoRegister(void);
DIROV_API int32_t _StartCaptureWorker(int32_t registerCb);
DIROV_API int32_t StopCaptureWorker(void);
DIROV_API DataPacket* GetNextPacket(void);
DIROV_API int32_t GetPendingCnt(void);
DIROV_API DataPacket* GetCurPacket(void);
DIROV_API void ShowBufStatus(int32_t verbose);
DIROV_API int32_t StartSaveWorker(const char* fileName, int32_t byteLimit);
DIROV_API int32_t StopSaveWorker(int32_t force);
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

/* DFU 1.1 state codes the library tests. */
#define DFU_STATE_APP_IDLE 0
#define DFU_STATE_DFU_IDLE 2
#define DFU_STATE_DFU_DNLOAD_IDLE 5
#define DFU_STATE_DFU_ERROR 10

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
DIROV_API int32_t dfu_dnload_firmware(WINUSB_INTERFACE_HANDLE h, const uint8_t* image,
                                      uint32_t count);
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

DIROV_API int32_t dfu_file_new_suffix(DfuSuffix* suffix, uint32_t crc, uint16_t vendorId,
                                      uint16_t productId, uint32_t deviceRelease);
DIROV_API int32_t dfu_file_read_suffix(FILE* stream, DfuSuffix* suffix);
DIROV_API int32_t dfu_file_add_suffix(FILE* stream, DfuSuffix* suffix);
DIROV_API int32_t dfu_file_verify_suffix(const DfuSuffix* suffix);
DIROV_API int32_t dfu_file_remove_suffix(FILE* stream);
DIROV_API int32_t dfu_file_compare_suffix(const DfuSuffix* a, const DfuSuffix* b);
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
DIROV_API uint8_t* elf_get_section_data_from_file(const char* path, const char* name,
                                                  uint32_t* size);

/* ---- DFU file ---- */

#define DIROV_DFU_RECORD_HEADER 8
#define DIROV_DFU_RECORD_MAX_DATA 2040

DIROV_API int32_t dfu_file_create(const char* elfPath, const char* dfuPath, uint32_t count,
                                  const char* const* sectionNames, const uint8_t* sectionIds);
DIROV_API int32_t dfu_file_read(const char* path, uint8_t** image, uint32_t* count);

/* ---- Firmware upgrade ---- */

DIROV_API int32_t FirmwareUpgrade(const char* path);

/* ---- Additions of this port ----
 * The Windows last-error code that failed transfers leave behind (31 for a
 * stalled request, 995 for an aborted read, ...), per thread. */
DIROV_API uint32_t dirov_get_last_error(void);
DIROV_API void dirov_set_last_error(uint32_t code);

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

#ifdef __cplusplus
}
#endif

#endif /* DIROV410_H */
