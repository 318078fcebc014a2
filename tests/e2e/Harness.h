// SPDX-License-Identifier: Apache-2.0
// The end-to-end tests run zelvik-sim over a virtual bus file in the
// working directory.
#pragma once

#include "support/ProgramTest.h"

namespace zelvik::test {

class SimProgramTest : public ProgramTest {
protected:
    std::string program() const override { return ZELVIK_SIM_PROGRAM; }
    std::vector<std::string> environment() const override {
        std::vector<std::string> variables{"ZELVIK_SIMULATED_BUS=" + path("bus.xml")};
        if (mTraced) variables.push_back("ZELVIK_TRACE=" + path("trace.log"));
        return variables;
    }
    // Writes the virtual bus: a string of device elements.
    void setBus(const std::string& devices) {
        writeFile(path("bus.xml"), "<simulatedBus>" + devices + "</simulatedBus>");
    }

    bool mTraced = false;  // the runs write the diagnostic trace to trace.log
};

}  // namespace zelvik::test
