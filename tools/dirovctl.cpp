// dirovctl: drives a dirov410 board from the command line, through the
// library's exported API only.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dirov410.h"
#include "dirov410_sim.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int fail(const std::string& what) {
    std::fprintf(stderr, "dirovctl: %s\n", what.c_str());
    return kExitFailure;
}

bool open_main() {
    BOOL none = 0;
    HRESULT hr = OpenDevice(&DeviceData, &none, nullptr);
    return hr >= 0;
}

int run_cmd(const std::string& text) {
    if (!open_main()) return fail("no board running its main firmware");
    std::string line = text;
    if (line.empty() || line.back() != '\n') line += '\n';
    CommandReply* r = usb_comms(DeviceData.WinUsbHandle, line.c_str(), 0, nullptr);
    CloseDevice(&DeviceData);
    if (!r) return fail("command exchange failed");
    print_struct(r);
    bool cstat = std::string(r->Type) == "CSTAT";
    std::free(r->Data);
    std::free(r);
    return cstat ? kExitFailure : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"dirovctl: drive a dirov410 USB interface board"};
    app.require_subcommand(1);
    bool sim = false;
    app.add_flag("--sim", sim, "Use a simulated board instead of USB");

    std::string text;
    auto* cmd = app.add_subcommand("cmd", "Send one raw command line and show the reply");
    cmd->add_option("text", text, "Command text, e.g. \"SYS:VERSION\"")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }
    if (sim) dirov_sim_attach(nullptr);
    if (*cmd) return run_cmd(text);
    return kExitUsage;
}
