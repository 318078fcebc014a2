// SPDX-License-Identifier: Apache-2.0
#include "BusFileCheck.h"

#include <string_view>

#include "usb/sim/BusFile.h"

namespace zelvik::client::detail {

std::optional<std::string> simulatedBusFile(const std::vector<std::string>& environment) {
    static constexpr std::string_view kBusVariable = "ZELVIK_SIMULATED_BUS=";
    for (const std::string& entry : environment) {
        if (entry.compare(0, kBusVariable.size(), kBusVariable) == 0) return entry.substr(kBusVariable.size());
    }
    return std::nullopt;
}

std::optional<std::string> busFileRefusal(const std::vector<std::string>& environment) {
    const std::optional<std::string> path = simulatedBusFile(environment);
    // Unset or empty is an empty bus on purpose.
    if (!path || path->empty()) return std::nullopt;
    return sim::checkBusFile(*path);
}

}  // namespace zelvik::client::detail
