// The main firmware's text protocol: every command on pipe 0x01 is answered
// on pipe 0x81 by an acknowledgement and then the reply, as two transfers.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "sim/board.h"

namespace dirov::sim {
namespace {

constexpr uint8_t kCommandOut = 0x01;
constexpr uint8_t kReplyIn = 0x81;

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

class MainFirmware final : public FaceModel {
   public:
    explicit MainFirmware(Board&) {}

    void on_bulk_out(Board& b, uint8_t ep, const uint8_t* data, uint32_t len) override {
        if (ep != kCommandOut) return;
        std::string_view text(reinterpret_cast<const char*>(data), len);
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        std::string_view word = line.substr(0, line.find(' '));
        b.push_in(kReplyIn, bytes("ISTAT OK\n"));
        b.push_in(kReplyIn, answer(b, word));
    }

    uint32_t on_control(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                        uint32_t* done) override {
        return main_face_control(b, s, data, len, done);
    }

    bool next_stream_transfer(Board& b, uint8_t ep, std::vector<uint8_t>& out) override {
        return ep == 0x82 && b.stream().next(out);
    }

   private:
    std::vector<uint8_t> answer(Board& b, std::string_view word) {
        std::string w(word);
        if (word == "SYS:VERSION") return value(w, b.firmware_version());
        if (w.empty()) w = "?";
        return bytes(w + " CSTAT Unknown command\n");
    }
    static std::vector<uint8_t> value(const std::string& word, uint32_t v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, " DATA %x\n", v);
        return bytes(word + buf);
    }
};

}  // namespace

std::unique_ptr<FaceModel> make_main_firmware(Board& board) {
    return std::make_unique<MainFirmware>(board);
}

}  // namespace dirov::sim
