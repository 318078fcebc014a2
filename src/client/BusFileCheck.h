// SPDX-License-Identifier: Apache-2.0
// The bus file of a simulating helper, checked before the helper starts:
// zelvik-sim says nothing about a bus file it refuses (it sees an empty
// bus), so the client says it for it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zelvik::client::detail {

// The bus file a simulating helper with this environment reads: its first
// ZELVIK_SIMULATED_BUS (empty: an empty bus). Nothing for a helper that
// names none, which works on the real bus.
std::optional<std::string> simulatedBusFile(const std::vector<std::string>& environment);

// For a helper whose environment names a bus file (ZELVIK_SIMULATED_BUS):
// why the simulating helper would refuse it, in one line naming the file,
// the line and the element. Nothing for a good bus file, or a helper
// without one.
std::optional<std::string> busFileRefusal(const std::vector<std::string>& environment);

}  // namespace zelvik::client::detail
