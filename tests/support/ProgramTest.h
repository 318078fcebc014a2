// SPDX-License-Identifier: Apache-2.0
// What the tests that run a built program share: the protocol files, a
// working directory, and runs of one command to its end, as a front end
// does them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/Process.h"
#include "support/TempDir.h"

namespace zelvik::test {

using Elements = std::vector<std::pair<std::string, std::string>>;

inline const std::string kXmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

inline std::string statusFileFor(int code) {
    return kXmlHead + "<statusBody>\n    <errorCode>" + std::to_string(code) + "</errorCode>\n</statusBody>\n";
}

inline const std::string kStatusZero = statusFileFor(0);

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
inline std::string commandXml(const Elements& elements) {
    std::string xml = kXmlHead + "<commandBody>\n";
    for (const auto& [name, value] : elements) xml += "  <" + name + ">" + xmlEscape(value) + "</" + name + ">\n";
    return xml + "</commandBody>\n";
}

// One printer of a printer list file, as the program writes it.
inline std::string listEntry(const std::string& model, const std::string& serial, const std::string& uri) {
    return "    <deviceInformation>\n"
           "        <modelName>" +
           model +
           "</modelName>\n"
           "        <serialNumber>" +
           serial +
           "</serialNumber>\n"
           "        <deviceURI>" +
           uri +
           "</deviceURI>\n"
           "    </deviceInformation>\n";
}

// Print data whose every 2048-byte chunk differs from its neighbours.
inline std::string patterned(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 2048) & 0xff);
    return data;
}

inline std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// The printer the data-command tests set up on their bus.
inline const std::string kPrinterURI = "usb://Zelvik/LP-100?serial=A1";

class ProgramTest : public ::testing::Test {
protected:
    // The program under test and what it needs in its environment.
    virtual std::string program() const = 0;
    virtual std::vector<std::string> environment() const { return {}; }

    std::string path(const std::string& name) const { return mDir.file(name); }
    std::string commandPath() const { return path("command.xml"); }
    std::string statusPath() const { return path("status.xml"); }
    std::string capture() const { return path("capture.bin"); }
    std::string response() const { return path("response.bin"); }

    void writeCommand(const Elements& elements) { writeFile(commandPath(), commandXml(elements)); }

    std::unique_ptr<Process> start(const std::vector<std::string>& arguments) {
        return std::make_unique<Process>(program(), arguments, environment());
    }
    std::unique_ptr<Process> start() { return start({commandPath()}); }
    // As a front end that may signal at once starts the program.
    std::unique_ptr<Process> startWithReopenBlocked() {
        return std::make_unique<Process>(program(), std::vector<std::string>{commandPath()}, environment(),
                                         std::vector<int>{SIGUSR1});
    }

    // Runs the command file at the command path to its end.
    void run(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        auto process = start();
        ASSERT_TRUE(process->started());
        ASSERT_TRUE(process->waitFor(limit)) << "the program did not end";
    }

    // Runs a command and returns the status file's content ("" when none).
    std::string runCommand(const Elements& elements) {
        std::remove(statusPath().c_str());
        writeCommand(elements);
        run();
        return readFile(statusPath());
    }

    // getPrinterList; the status lands in `status`.
    std::string list(const std::string& maximum) {
        std::remove(path("list.xml").c_str());
        status = runCommand({{"command", "getPrinterList"},
                             {"statusFilePath", statusPath()},
                             {"printerListFilePath", path("list.xml")},
                             {"printerListMax", maximum}});
        return readFile(path("list.xml"));
    }
    std::string query(const std::string& bytes, const std::string& timeOut = "5",
                      const std::string& uri = kPrinterURI) {
        writeFile(path("query.pjl"), bytes);
        return runCommand({{"command", "sendPJLCommand"},
                           {"statusFilePath", statusPath()},
                           {"deviceURI", uri},
                           {"outputFilePath", path("query.pjl")},
                           {"responseFilePath", response()},
                           {"timeOut", timeOut}});
    }
    Elements dataOutputCommand(const std::string& uri = kPrinterURI) const {
        return {{"command", "dataOutput"},
                {"statusFilePath", statusPath()},
                {"deviceURI", uri},
                {"outputFilePath", path("print.bin")},
                {"responseFilePath", response()}};
    }
    // isMachineActive: the response file's word.
    std::string active(const std::string& uri) {
        std::remove(response().c_str());
        EXPECT_EQ(kStatusZero, runCommand({{"command", "isMachineActive"},
                                           {"statusFilePath", statusPath()},
                                           {"deviceURI", uri},
                                           {"responseFilePath", response()}}));
        return readFile(response());
    }

    TempDir mDir;  // outlives whatever writes into it
    std::string status;
};

}  // namespace zelvik::test
