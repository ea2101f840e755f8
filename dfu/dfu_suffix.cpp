// DFU 1.1 file suffix: make, read, append, validate, compare and strip it.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dfu/dfu_image.h"
#include "dirov410.h"
#include "platform/byte_order.h"
#include "platform/file_ops.h"

namespace {

using dirov::dfu::kSuffixSize;
using SuffixBytes = std::array<uint8_t, kSuffixSize>;
constexpr size_t kCrcBlock = 1024;
constexpr size_t kCrcOffset = 12;

constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}

// CRC-32/JAMCRC: reflected polynomial 0xEDB88320, no final XOR.
constexpr std::array<uint32_t, 256> crc_table = make_crc_table();

uint32_t crc_update(uint32_t reg, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) reg = crc_table[(reg ^ p[i]) & 0xFF] ^ (reg >> 8);
    return reg;
}

// The record's file layout, independent of the host's byte order.
SuffixBytes encode(const DfuSuffix& s) {
    SuffixBytes b{};
    dirov::store_le16(&b[0], s.bcdDevice);
    dirov::store_le16(&b[2], s.idProduct);
    dirov::store_le16(&b[4], s.idVendor);
    dirov::store_le16(&b[6], s.bcdDFU);
    std::memcpy(&b[8], s.ucDfuSignature, 3);
    b[11] = s.bLength;
    dirov::store_le32(&b[kCrcOffset], s.dwCRC);
    return b;
}

void decode(const SuffixBytes& b, DfuSuffix* s) {
    s->bcdDevice = dirov::load_le16(&b[0]);
    s->idProduct = dirov::load_le16(&b[2]);
    s->idVendor = dirov::load_le16(&b[4]);
    s->bcdDFU = dirov::load_le16(&b[6]);
    std::memcpy(s->ucDfuSignature, &b[8], 3);
    s->bLength = b[11];
    s->dwCRC = dirov::load_le32(&b[kCrcOffset]);
}

int32_t verify_bytes(const SuffixBytes& b) {
    if (b[11] != kSuffixSize) return DFU_SUFFIX_BAD_LENGTH;
    if (b[8] != 'U' || b[9] != 'F' || b[10] != 'D') return DFU_SUFFIX_BAD_SIGNATURE;
    if (b[6] != 0x00 || b[7] != 0x01) return DFU_SUFFIX_BAD_VERSION;
    return DFU_SUFFIX_OK;
}

int32_t read_last16(FILE* stream, SuffixBytes& out) {
    fpos_t pos;
    if (fgetpos(stream, &pos) != 0) return DFU_SUFFIX_IO_ERROR;
    if (std::fseek(stream, -static_cast<long>(kSuffixSize), SEEK_END) != 0)
        return DFU_SUFFIX_IO_ERROR;
    if (std::fread(out.data(), 1, kSuffixSize, stream) != kSuffixSize) return DFU_SUFFIX_IO_ERROR;
    return fsetpos(stream, &pos) != 0 ? DFU_SUFFIX_IO_ERROR : DFU_SUFFIX_OK;
}

// Runs `length` bytes from the current position through the CRC. False when
// fewer bytes could be read.
bool crc_stream(FILE* stream, long length, uint8_t* buf, uint32_t& reg) {
    long remaining = length;
    while (remaining > 0) {
        size_t want = remaining < static_cast<long>(kCrcBlock) ? remaining : kCrcBlock;
        size_t got = std::fread(buf, 1, want, stream);
        reg = crc_update(reg, buf, got);
        if (got < want) return false;
        remaining -= static_cast<long>(got);
    }
    return true;
}

long stream_length(FILE* stream) {
    if (std::fseek(stream, 0, SEEK_END) != 0) return -1;
    return std::ftell(stream);
}

// Appends the suffix after the CRC pass over the `length` bytes of the file.
int32_t add_suffix(FILE* stream, DfuSuffix* suffix, uint8_t* buf, long length) {
    // A short pass ends the CRC there; only a read error fails the operation.
    crc_stream(stream, length, buf, suffix->dwCRC);
    if (std::ferror(stream)) return DFU_SUFFIX_IO_ERROR;
    SuffixBytes b = encode(*suffix);
    suffix->dwCRC = crc_update(suffix->dwCRC, b.data(), kCrcOffset);
    b = encode(*suffix);
    // One write; on a failure the file is cut back, so no part of the
    // suffix stays behind.
    bool ok =
        dirov::files::write_at_or_cut(stream, static_cast<uint64_t>(length), b.data(), b.size());
    return ok ? DFU_SUFFIX_OK : DFU_SUFFIX_IO_ERROR;
}

// A second suffix would be read as image records: a file that already ends
// with a well-formed suffix gets none.
bool ends_with_suffix(FILE* stream) {
    SuffixBytes b;
    return read_last16(stream, b) == 0 && verify_bytes(b) == DFU_SUFFIX_OK;
}

// The CRC pass of dfu_file_check_suffix: 0, DFU_SUFFIX_BAD_CRC, or 1 when the
// bytes before dwCRC could not all be read.
int32_t check_crc(FILE* stream, const SuffixBytes& b) {
    if (std::fseek(stream, -4, SEEK_END) != 0) return DFU_SUFFIX_IO_ERROR;
    long length = std::ftell(stream);
    if (length < 0 || std::fseek(stream, 0, SEEK_SET) != 0) return DFU_SUFFIX_IO_ERROR;
    uint8_t buf[kCrcBlock];
    uint32_t reg = 0xFFFFFFFFu;
    if (!crc_stream(stream, length, buf, reg)) return DFU_SUFFIX_IO_ERROR;
    return reg == dirov::load_le32(&b[kCrcOffset]) ? DFU_SUFFIX_OK : DFU_SUFFIX_BAD_CRC;
}

}  // namespace

extern "C" {

DIROV_API int32_t dfu_file_new_suffix(DfuSuffix* suffix, uint32_t crc, uint16_t vendorId,
                                      uint16_t productId, uint32_t deviceRelease) {
    if (!suffix) return -1;
    suffix->bcdDevice = static_cast<uint16_t>(deviceRelease);
    suffix->idProduct = productId;
    suffix->idVendor = vendorId;
    suffix->bcdDFU = 0x0100;
    std::memcpy(suffix->ucDfuSignature, "UFD", 3);
    suffix->bLength = kSuffixSize;
    // Most significant byte first in the file: the reverse of add_suffix.
    suffix->dwCRC = __builtin_bswap32(crc);
    return 0;
}

DIROV_API int32_t dfu_file_read_suffix(FILE* stream, DfuSuffix* suffix) {
    if (!stream) return -1;
    SuffixBytes b;
    int32_t rc = read_last16(stream, b);
    if (rc == 0 && suffix) decode(b, suffix);
    return rc;
}

DIROV_API int32_t dfu_file_add_suffix(FILE* stream, DfuSuffix* suffix) {
    if (!stream || !suffix) return -1;
    fpos_t pos;
    if (fgetpos(stream, &pos) != 0) return DFU_SUFFIX_IO_ERROR;
    if (ends_with_suffix(stream)) return DFU_SUFFIX_PRESENT;
    suffix->dwCRC = 0xFFFFFFFFu;
    long length = stream_length(stream);
    if (length < 0 || std::fseek(stream, 0, SEEK_SET) != 0) return DFU_SUFFIX_IO_ERROR;
    size_t buf_size = length < static_cast<long>(kCrcBlock) ? length : kCrcBlock;
    auto* buf = static_cast<uint8_t*>(std::calloc(buf_size ? buf_size : 1, 1));
    if (!buf) return DFU_SUFFIX_IO_ERROR;
    int32_t rc = add_suffix(stream, suffix, buf, length);
    std::free(buf);
    return fsetpos(stream, &pos) != 0 ? DFU_SUFFIX_IO_ERROR : rc;
}

DIROV_API int32_t dfu_file_verify_suffix(const DfuSuffix* suffix) {
    if (!suffix) return -1;
    return verify_bytes(encode(*suffix));
}

DIROV_API int32_t dfu_file_remove_suffix(FILE* stream) {
    if (!stream) return DFU_SUFFIX_IO_ERROR;
    fpos_t start;
    if (fgetpos(stream, &start) != 0) return DFU_SUFFIX_IO_ERROR;
    SuffixBytes b;
    if (read_last16(stream, b) != 0) return DFU_SUFFIX_IO_ERROR;
    if (int32_t rc = verify_bytes(b); rc != 0) return rc;
    if (std::fseek(stream, -static_cast<long>(kSuffixSize), SEEK_END) != 0)
        return DFU_SUFFIX_IO_ERROR;
    long cut = std::ftell(stream);
    if (cut < 0 || !dirov::files::cut(stream, static_cast<uint64_t>(cut)))
        return DFU_SUFFIX_IO_ERROR;
    fsetpos(stream, &start);
    return 0;
}

DIROV_API int32_t dfu_file_compare_suffix(const DfuSuffix* a, const DfuSuffix* b) {
    if (!a || !b) return -1;
    if (int32_t rc = dfu_file_verify_suffix(b); rc != 0) return rc;
    if (int32_t rc = dfu_file_verify_suffix(a); rc != 0) return rc;
    if (a->idProduct != b->idProduct) return DFU_SUFFIX_OTHER_PRODUCT;
    if (a->idVendor != b->idVendor) return DFU_SUFFIX_OTHER_VENDOR;
    if (a->bcdDevice != b->bcdDevice) return DFU_SUFFIX_OTHER_DEVICE;
    return 0;
}

DIROV_API int32_t dfu_file_check_suffix(FILE* stream) {
    if (!stream) return -1;
    fpos_t start;
    if (fgetpos(stream, &start) != 0) return DFU_SUFFIX_IO_ERROR;
    SuffixBytes b;
    if (read_last16(stream, b) != 0) return DFU_SUFFIX_IO_ERROR;
    if (int32_t rc = verify_bytes(b); rc != 0) return rc;
    int32_t rc = check_crc(stream, b);
    return fsetpos(stream, &start) != 0 ? DFU_SUFFIX_IO_ERROR : rc;
}

}  // extern "C"
