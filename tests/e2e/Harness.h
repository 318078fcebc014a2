// What the end-to-end tests share: a working directory, command files, a
// virtual bus file, and runs of the program.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/Process.h"
#include "support/TempDir.h"

namespace zelvik::test {

inline const std::string kStatusZero =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<statusBody>\n    <errorCode>0</errorCode>\n</statusBody>\n";

inline std::string statusFileFor(int code) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<statusBody>\n    <errorCode>" +
           std::to_string(code) + "</errorCode>\n</statusBody>\n";
}

inline std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
    return out;
}

// A command file with the given elements, in order.
inline std::string commandXml(const std::vector<std::pair<std::string, std::string>>& elements) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<commandBody>\n";
    for (const auto& [name, value] : elements) xml += "  <" + name + ">" + xmlEscape(value) + "</" + name + ">\n";
    return xml + "</commandBody>\n";
}

inline std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

class ProgramTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return mDir.file(name); }
    std::string commandPath() const { return path("command.xml"); }
    std::string statusPath() const { return path("status.xml"); }

    // Writes the virtual bus: one string of device elements.
    void setBus(const std::string& devices) {
        writeFile(path("bus.xml"), "<simulatedBus>" + devices + "</simulatedBus>");
    }

    void writeCommand(const std::vector<std::pair<std::string, std::string>>& elements) {
        writeFile(commandPath(), commandXml(elements));
    }

    std::unique_ptr<Process> start(const std::vector<std::string>& arguments) {
        return std::make_unique<Process>(ZELVIK_SIM_PROGRAM, arguments,
                                         std::vector<std::string>{"ZELVIK_SIMULATED_BUS=" + path("bus.xml")});
    }
    std::unique_ptr<Process> start() { return start({commandPath()}); }

    // Runs the command file at the command path to its end.
    void run(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        auto process = start();
        ASSERT_TRUE(process->started());
        ASSERT_TRUE(process->waitFor(limit)) << "the program did not end";
    }

    // Runs a command and returns the status file's content ("" when none).
    std::string runCommand(const std::vector<std::pair<std::string, std::string>>& elements) {
        std::remove(statusPath().c_str());
        writeCommand(elements);
        run();
        return readFile(statusPath());
    }

    TempDir mDir;
};

}  // namespace zelvik::test
