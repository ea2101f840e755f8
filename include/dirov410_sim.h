/**
 * \file dirov410_sim.h
 * \brief dirov410 simulated board.
 *
 * While at least one simulated board is attached, the library talks to
 * simulated boards instead of USB: applications can run their own tests
 * against it without hardware. A board shows one of two faces (bootloader or
 * main firmware), answers the text command protocol, streams data on pipe
 * 0x82 and answers the bootloader and DFU control requests.
 *
 * Test control: scripted replies, a record of everything the host did, fault
 * injection on any transport operation, and a virtual clock under which the
 * library's waits cost no wall time.
 *
 * Valid C99 and C++.
 */
#ifndef DIROV410_SIM_H
#define DIROV410_SIM_H

#include "dirov410.h"

#ifdef __cplusplus
extern "C" {
#endif

/** \addtogroup sim
 * @{ */

/** A simulated board, from dirov_sim_attach until dirov_sim_detach. */
typedef struct dirov_sim_board dirov_sim_board;

/** The face a board shows the host. */
typedef enum dirov_sim_face {
    DIROV_SIM_FACE_BOOTLOADER = 0, /**< the bootloader, with its DFU interface */
    DIROV_SIM_FACE_MAIN = 1,       /**< the main firmware */
    DIROV_SIM_FACE_ABSENT = 2      /**< enumerates nothing (unplugged, or never comes back) */
} dirov_sim_face;

/** How a board starts; dirov_sim_config_init fills in the defaults. */
typedef struct dirov_sim_config {
    dirov_sim_face face;         /**< face shown when attached; default main firmware */
    const char* serial;          /**< UTF-8 (string 3, UTF-16LE); default "DRV410-0001" */
    uint16_t vendor_id;          /**< default 0x1D50 */
    uint16_t product_id;         /**< default 0x6410 */
    uint32_t firmware_version;   /**< SYS:VERSION of the main firmware; default 0x00010200 */
    uint32_t bootloader_version; /**< vendor request 0; default 0x00010000 */
    int32_t firmware_valid;      /**< the bootloader holds a valid main firmware; default 1 */
    int32_t main_running;        /**< bit 0 of the bootloader state: no start needed; default 0 */
    int32_t runtime_dfu;         /**< the main firmware also shows the DFU interface
                                    (answers appIDLE); default 1 */
    uint32_t reenumerate_ms;     /**< absence when changing face; default 200 */
    uint16_t transfer_size;      /**< DFU wTransferSize; default 2048 */
    uint32_t poll_timeout_ms;    /**< DFU bwPollTimeout reported per block; default 0 */
} dirov_sim_config;

/** Fills `cfg` with the defaults above. */
DIROV_API void dirov_sim_config_init(dirov_sim_config* cfg);

/** Attaches a board (NULL: defaults). Boards enumerate in attach order. */
DIROV_API dirov_sim_board* dirov_sim_attach(const dirov_sim_config* cfg);
/** Detaches a board: transfers in flight on it fail, its handles go stale. */
DIROV_API void dirov_sim_detach(dirov_sim_board* board);
/** Detaches every board and clears the record, the faults and the scripts.
 * Each handle from dirov_sim_attach is still freed by dirov_sim_detach. */
DIROV_API void dirov_sim_reset(void);

/** Shows `face` after `delay_ms` of absence on the board's clock. Open
 * handles go stale at once, as after a USB re-enumeration. */
DIROV_API void dirov_sim_set_face(dirov_sim_board* board, dirov_sim_face face, uint32_t delay_ms);
/** The face the board shows now. */
DIROV_API dirov_sim_face dirov_sim_get_face(dirov_sim_board* board);

/* ---- Clock ----
 * Virtual: Sleep advances the clock at once; nothing waits for real. */

/** Switches the virtual clock on (non-zero) or off. Virtual: Sleep advances
 * the clock at once; nothing waits for real. */
DIROV_API void dirov_sim_use_virtual_clock(int enable);
/** The clock, in milliseconds. */
DIROV_API uint64_t dirov_sim_clock_ms(void);
/** Moves the virtual clock on by `ms`. */
DIROV_API void dirov_sim_advance_clock(uint64_t ms);

/* ---- Scripted transfers ---- */

/** Switches the main firmware's own replies on (non-zero) or off. With
 * firmware replies off, pipe 0x81 carries only the transfers queued with
 * dirov_sim_queue_in (commands are still recorded). */
DIROV_API void dirov_sim_set_firmware_replies(dirov_sim_board* board, int enable);
/** Enabled (non-zero): the board answers nothing, as a hung board: reads of
 * pipe 0x81 and control requests wait until it is disabled again, the board
 * is detached, or (a read) its handle is closed. */
DIROV_API void dirov_sim_set_silent(dirov_sim_board* board, int enable);
/** Queues one IN transfer on `ep` (0x81 replies, 0x82 stream). 0, or -1. */
DIROV_API int32_t dirov_sim_queue_in(dirov_sim_board* board, uint8_t ep, const void* data,
                                     uint32_t length);
/** Transfers still queued on `ep`. */
DIROV_API uint32_t dirov_sim_pending_in(dirov_sim_board* board, uint8_t ep);

/* ---- Stream on pipe 0x82 ---- */

/** What the board's generator streams on pipe 0x82.
 *
 * Transfers queued with dirov_sim_queue_in(board, 0x82, ...) go first; while
 * none is queued the board's generator makes the next transfer. The counter
 * pattern is the run of 32-bit little-endian words 0, 1, 2, ... (the byte at
 * stream offset k is dirov_sim_stream_counter_byte(k)), so lost or repeated
 * data shows. With the pattern off the stream stalls: a read waits until data
 * is queued or the pipe is aborted. Read errors: dirov_sim_fail_nth with
 * DIROV_SIM_OP_STREAM_WAIT. */
typedef enum dirov_sim_stream_pattern {
    DIROV_SIM_STREAM_OFF = 0,      /**< nothing: reads wait */
    DIROV_SIM_STREAM_COUNTER = 1,  /**< the counter pattern */
    DIROV_SIM_STREAM_I2S_SINES = 2 /**< the I2S host port's two sines, 16-bit stereo */
} dirov_sim_stream_pattern;

/** Sets the generator's pattern. */
DIROV_API void dirov_sim_stream_set_pattern(dirov_sim_board* board, dirov_sim_stream_pattern p);
/** Bytes per generated transfer, 0 to 20480 (larger is cut); default 20480. */
DIROV_API void dirov_sim_stream_set_transfer_size(dirov_sim_board* board, uint32_t bytes);
/** Stream bytes per second on the board's clock. 0 (default): the pattern's
 * own pace: the I2S sines at their sample rate (48000 frames of 4 bytes a
 * second), as the port's DMA delivers them; the counter as fast as read. */
DIROV_API void dirov_sim_stream_set_rate(dirov_sim_board* board, uint64_t bytes_per_s);
/** Starts the pattern afresh at stream offset 0. */
DIROV_API void dirov_sim_stream_restart(dirov_sim_board* board);
/** Bytes the generator has made since the last restart. */
DIROV_API uint64_t dirov_sim_stream_produced(dirov_sim_board* board);
/** The counter pattern's byte at stream offset `offset`. */
DIROV_API uint8_t dirov_sim_stream_counter_byte(uint64_t offset);

/* ---- Record of what the host did ---- */

/** The kinds of recorded events. */
typedef enum dirov_sim_event_kind {
    DIROV_SIM_EV_FIND = 0,  /**< find_path; value = result code */
    DIROV_SIM_EV_OPEN = 1,  /**< open; value = result code */
    DIROV_SIM_EV_CLOSE = 2, /**< close */
    DIROV_SIM_EV_OUT = 3,   /**< bulk OUT; data = bytes sent */
    DIROV_SIM_EV_IN = 4,    /**< bulk IN completed; data = bytes received */
    /** Control transfer; setup fields as the board gets them (a standard or
     * class request to an interface names the handle's interface in wIndex,
     * as WinUSB sends it; a class request to any but the face's DFU
     * interface stalls); data = OUT stage. */
    DIROV_SIM_EV_CONTROL = 5,
    DIROV_SIM_EV_DESCRIPTOR = 6, /**< descriptor read */
    DIROV_SIM_EV_ABORT = 7,      /**< pipe abort */
    DIROV_SIM_EV_FLUSH = 8,      /**< pipe flush */
    DIROV_SIM_EV_SLEEP = 9       /**< host Sleep; value = milliseconds */
} dirov_sim_event_kind;

/** One thing the host did. */
typedef struct dirov_sim_event {
    dirov_sim_event_kind kind; /**< what it was */
    int32_t board;             /**< attach index, -1 when none */
    uint64_t time_ms;          /**< clock at the event */
    uint8_t ep;                /**< the endpoint of a transfer */
    uint8_t bmRequestType;     /**< a control transfer's setup field */
    uint8_t bRequest;          /**< a control transfer's setup field */
    uint16_t wValue;           /**< a control transfer's setup field */
    uint16_t wIndex;           /**< a control transfer's setup field */
    uint16_t wLength;          /**< a control transfer's setup field */
    uint32_t value;            /**< see dirov_sim_event_kind */
    uint32_t length;           /**< bytes in data */
    const uint8_t* data;       /**< valid until dirov_sim_clear_events or dirov_sim_reset */
} dirov_sim_event;

/** Events recorded so far. */
DIROV_API uint32_t dirov_sim_event_count(void);
/** 0 and *out filled, or -1 when index is out of range. */
DIROV_API int32_t dirov_sim_event_get(uint32_t index, dirov_sim_event* out);
/** Clears the record. */
DIROV_API void dirov_sim_clear_events(void);

/* ---- Fault injection ---- */

/** The transport operations a fault can hit. */
typedef enum dirov_sim_op {
    DIROV_SIM_OP_FIND_PATH = 0,      /**< finding an interface path */
    DIROV_SIM_OP_OPEN_FILE = 1,      /**< opening the device */
    DIROV_SIM_OP_OPEN_INTERFACE = 2, /**< opening its interface */
    DIROV_SIM_OP_BULK_WRITE = 3,     /**< a bulk OUT transfer */
    DIROV_SIM_OP_BULK_READ = 4,      /**< a bulk IN transfer */
    DIROV_SIM_OP_STREAM_SUBMIT = 5,  /**< posting a stream read */
    DIROV_SIM_OP_STREAM_WAIT = 6,    /**< waiting for a stream read */
    DIROV_SIM_OP_ABORT = 7,          /**< a pipe abort */
    DIROV_SIM_OP_FLUSH = 8,          /**< a pipe flush */
    DIROV_SIM_OP_CONTROL = 9,        /**< a control transfer */
    DIROV_SIM_OP_DESCRIPTOR = 10,    /**< a descriptor read */
    DIROV_SIM_OP_COUNT = 11          /**< the number of operations */
} dirov_sim_op;

/** The nth call (1 = the next one) of `op` from now fails with the Windows
 * error `code`, without reaching the board. */
DIROV_API void dirov_sim_fail_nth(dirov_sim_op op, uint32_t nth, uint32_t code);
/** Clears the faults set with dirov_sim_fail_nth. */
DIROV_API void dirov_sim_clear_faults(void);

/* ---- Bootloader and DFU behaviour ----
 * Faults apply to the board's own answers, on either face. */

/** The DFU_DNLOAD of data block `block` stalls (the transfer fails with error
 * 31) and the status query after it reports `status` in dfuERROR. Once.
 * These faults apply to the board's own answers, on either face. */
DIROV_API void dirov_sim_dfu_stall_block(dirov_sim_board* board, uint16_t block, uint8_t status);
/** The status query after data block `block` reports `status` in dfuERROR. Once. */
DIROV_API void dirov_sim_dfu_status_at_block(dirov_sim_board* board, uint16_t block,
                                             uint8_t status);
/** With a poll timeout configured, the board stays busy (dfuDNBUSY,
 * dfuMANIFEST) for `times` more poll timeouts than the one it reports, as a
 * slow flash does; each status query after a full timeout reports the next.
 * Set before the block; 0 clears it. */
DIROV_API void dirov_sim_dfu_stay_busy(dirov_sim_board* board, uint32_t times);
/** The next control request with this bmRequestType and bRequest moves at
 * most `length` bytes of its data stage (a short reply, or a partly taken
 * OUT stage). Once. */
DIROV_API void dirov_sim_short_reply(dirov_sim_board* board, uint8_t bmRequestType,
                                     uint8_t bRequest, uint32_t length);
/** Enabled: every restart the board makes itself (start, reset, detach)
 * leaves it absent for good. */
DIROV_API void dirov_sim_never_return(dirov_sim_board* board, int enable);
/** The bootloader's DFU state (2 dfuIDLE ... 10 dfuERROR), or -1. */
DIROV_API int32_t dirov_sim_dfu_state(dirov_sim_board* board);
/** 1 while the bootloader holds a valid main firmware, 0 when not, -1. */
DIROV_API int32_t dirov_sim_firmware_valid(dirov_sim_board* board);
/** The image records the bootloader stored by the last completed download:
 * copies up to `cap` bytes and returns the full size. */
DIROV_API uint32_t dirov_sim_firmware_image(dirov_sim_board* board, void* buf, uint32_t cap);
/** SYS:VERSION of the main firmware the board runs now. */
DIROV_API uint32_t dirov_sim_firmware_version(dirov_sim_board* board);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* DIROV410_SIM_H */
