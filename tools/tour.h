// The guided tour of a simulated board: dirovctl --sim tour.
#pragma once

#include <string>

namespace dirovctl {

struct TourOptions {
    std::string dir;  // where the capture and DFU files go; default a new temporary folder
    std::string elf;  // sample firmware; default the one shipped with dirovctl
};

// Runs every step; kExitOk when all passed.
int run_tour(const TourOptions& opts);

}  // namespace dirovctl
