// SPDX-License-Identifier: Apache-2.0
// The command handlers against virtual printers that fail at every transfer
// of a job, leave the bus, describe themselves wrongly or have odd
// endpoints, and against output files that change while they are sent.
// Whatever happens, every device and interface opened is closed exactly
// once, and a job that did not reach the printer whole never gives 0.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <functional>

#include "app/Application.h"
#include "app/ZelvikController.h"
#include "support/TempDir.h"
#include "usb/sim/SimulatedUsbAccess.h"

namespace zelvik {
namespace {

using sim::EndpointKind;
using sim::VirtualPrinterConfig;

enum class Command { List, Query, Data, Active };

VirtualPrinterConfig printer(std::function<void(VirtualPrinterConfig&)> change = {}) {
    VirtualPrinterConfig config;
    config.deviceID = "MFG:A;MDL:B;";
    config.serialNumber = "S";
    config.locationID = 0x0fa00010;
    if (change) change(config);
    return config;
}

struct FaultRow {
    const char* what;
    Command command;
    VirtualPrinterConfig config;
    int code;
    // The response file afterwards ("": none). For a listing: the URI the
    // printer is listed by, which must then open it.
    std::string response;
    std::string output = "@PJL INFO ID\r\n";
    std::string uri = "usb://A/B?serial=S";
    bool leavesAfterListing = false;
    // Changes the output file once the printer holds this many bytes.
    std::uint64_t changeAt = 0;
    std::function<void(const std::string& path)> change = nullptr;
    int maximumConectionTime = 5;
    bool responseUnwritable = false;  // the response file's folder does not exist
};

const std::string kAnswer = "@PJL INFO ID\r\n\"B\"\r\n\f";
const std::string kJob(5000, 'j');      // chunks of 2048, 2048 and 904 bytes
const std::string kEvenJob(4096, 'e');  // two full chunks, then a zero-length write

FaultRow data(const char* what, VirtualPrinterConfig config, int code, std::string job = kJob) {
    return {what, Command::Data, std::move(config), code, code == 0 ? "100" : "0", std::move(job)};
}

FaultRow listed(const char* what, VirtualPrinterConfig config, std::string uri) {
    return {what, Command::List, std::move(config), 0, std::move(uri)};
}

// Not listed (no model name or no serial number), but opened by this URI.
FaultRow named(const char* what, VirtualPrinterConfig config, std::string uri) {
    return {what, Command::Active, std::move(config), 0, "True", "", std::move(uri)};
}

template <typename T>
std::function<void(VirtualPrinterConfig&)> set(std::optional<T> VirtualPrinterConfig::*field, T value) {
    return [field, value](VirtualPrinterConfig& c) { c.*field = value; };
}

std::vector<FaultRow> faultRows() {
    using C = VirtualPrinterConfig;
    std::vector<FaultRow> rows = {
        // --- The PJL query: drain read, write, answer read ------------------------
        {"query answered", Command::Query, printer(), 0, kAnswer},
        {"query after stale bytes, which are dropped", Command::Query,
         printer([](C& c) { c.pendingAnswer = Bytes{'o', 'l', 'd'}; }), 0, kAnswer},
        {"query write stalls at once", Command::Query, printer(set(&C::failWriteAfterBytes, std::uint64_t{0})), 7, ""},
        {"query write stalls midway", Command::Query, printer(set(&C::failWriteAfterBytes, std::uint64_t{5})), 7, ""},
        {"printer leaves midway through the query", Command::Query,
         printer(set(&C::disconnectAfterBytes, std::uint64_t{5})), 7, ""},
        {"drain read stalls", Command::Query, printer(set(&C::stallReadAt, 1u)), 7, ""},
        {"printer leaves at the drain read", Command::Query, printer(set(&C::disconnectAtRead, 1u)), 7, ""},
        {"answer read stalls", Command::Query, printer(set(&C::stallReadAt, 2u)), 7, ""},
        {"printer leaves at the answer read", Command::Query, printer(set(&C::disconnectAtRead, 2u)), 7, ""},
        {"stalled answer read after stale bytes", Command::Query, printer([](C& c) {
             c.pendingAnswer = Bytes{'o', 'l', 'd'};
             c.stallReadAt = 3;
         }),
         7, ""},
        {"no answer within the time limit", Command::Query, printer(), 8, "", "not PJL\r\n",
         "usb://A/B?serial=S", false, 0, {}, 1},

        // --- dataOutput: first, middle and last chunk, the zero-length write ----
        data("job sent", printer(), 0),
        data("job of whole chunks sent", printer(), 0, kEvenJob),
        data("empty job sent", printer(), 0, ""),
        data("first chunk stalls", printer(set(&C::failWriteAfterBytes, std::uint64_t{0})), 7),
        data("middle chunk stalls", printer(set(&C::failWriteAfterBytes, std::uint64_t{3000})), 7),
        data("last chunk stalls", printer(set(&C::failWriteAfterBytes, std::uint64_t{4500})), 7),
        data("zero-length write stalls", printer(set(&C::failWriteAfterBytes, std::uint64_t{4096})), 7, kEvenJob),
        data("printer leaves in the first chunk", printer(set(&C::disconnectAfterBytes, std::uint64_t{1000})), 7),
        data("printer leaves in the middle chunk", printer(set(&C::disconnectAfterBytes, std::uint64_t{3000})), 7),
        data("printer leaves in the last chunk", printer(set(&C::disconnectAfterBytes, std::uint64_t{4999})), 7),
        data("printer leaves before the zero-length write", printer(set(&C::disconnectAfterBytes, std::uint64_t{4096})), 7,
             kEvenJob),

        // --- Output files that change while they are sent --------------------------
        {"output file shrinks while sent", Command::Data, printer(), 4, "0", kJob, "usb://A/B?serial=S", false,
         2048, [](const std::string& path) { ::truncate(path.c_str(), 1000); }},
        {"output file grows while sent", Command::Data, printer(), 0, "100", kJob, "usb://A/B?serial=S", false,
         2048, [](const std::string& path) { test::writeFile(path, kJob + kJob); }},
    };
    // Output files that cannot be sent at all: found before the printer is
    // opened. Neither a FIFO nor a directory has an end or a size.
    const std::function<void(const std::string&)> unusable[] = {
        [](const std::string& path) { std::filesystem::remove(path); },
        [](const std::string& path) {
            std::filesystem::remove(path);
            std::filesystem::create_directory(path);
        },
        [](const std::string& path) {
            std::filesystem::remove(path);
            ::mkfifo(path.c_str(), 0600);
        },
    };
    for (const auto& make : unusable) {
        for (Command command : {Command::Query, Command::Data}) {
            rows.push_back({"unusable output file", command, printer(), 4, "", kJob, "usb://A/B?serial=S", false, 0,
                            make});
        }
    }
    rows.insert(rows.end(), {

        // --- A printer that leaves between listing and open -------------------------
        {"query to a printer gone since the listing", Command::Query, printer(), 7, "", "@PJL INFO ID\r\n",
         "usb://A/B?serial=S", true},
        {"job to a printer gone since the listing", Command::Data, printer(), 7, "", kJob, "usb://A/B?serial=S",
         true},
        {"test of a printer gone since the listing", Command::Active, printer(), 0, "False", "",
         "usb://A/B?serial=S", true},
        {"query to no printer by that URI", Command::Query, printer(), 7, "", "@PJL INFO ID\r\n",
         "usb://A/B?serial=s"},
        {"query to a printer held elsewhere", Command::Query, printer([](C& c) { c.interfaceHeldOpen = true; }), 7,
         ""},
        {"job to no printer by that URI", Command::Data, printer(), 7, "", kJob, "usb://A/b?serial=S"},
        {"test of no printer by that URI", Command::Active, printer(), 0, "False", "", "usb://A/B?location=fa00010"},
        {"test of a printer held elsewhere", Command::Active, printer([](C& c) { c.interfaceHeldOpen = true; }), 0,
         "False"},

        // --- Endpoints missing or in odd orders --------------------------------------
        {"query with endpoints in odd order", Command::Query, printer([](C& c) {
             c.endpoints = {{EndpointKind::InterruptIn, 8}, {EndpointKind::BulkIn, 64}, {EndpointKind::BulkOut, 64}};
         }),
         0, kAnswer},
        {"query to a printer without bulk IN", Command::Query,
         printer([](C& c) { c.endpoints = {{EndpointKind::BulkOut, 512}}; }), 7, ""},
        data("job to a printer without bulk IN", printer([](C& c) { c.endpoints = {{EndpointKind::BulkOut, 512}}; }),
             0),
        {"job to a printer without bulk OUT", Command::Data,
         printer([](C& c) { c.endpoints = {{EndpointKind::BulkIn, 512}, {EndpointKind::InterruptOut, 8}}; }), 7,
         "0"},
        {"job to a printer without endpoints", Command::Data, printer([](C& c) { c.endpoints = {}; }), 7, ""},
        data("job to a printer whose pipes are in setting 1", printer([](C& c) {
                 c.endpoints = {};
                 c.alternateEndpoints = sim::defaultEndpoints();
             }),
             0),

        // --- Device IDs and serial-number descriptors as devices give them ---------
        named("device ID length 0", printer(set(&C::deviceIDLength, std::uint16_t{0})),
               "usb://Unknown/Unknown?serial=S"),
        named("device ID length 1", printer(set(&C::deviceIDLength, std::uint16_t{1})),
               "usb://Unknown/Unknown?serial=S"),
        named("device ID length 2: no text", printer(set(&C::deviceIDLength, std::uint16_t{2})),
               "usb://Unknown/Unknown?serial=S"),
        listed("device ID length 255, fewer bytes sent", printer(set(&C::deviceIDLength, std::uint16_t{255})),
               "usb://A/B?serial=S"),
        listed("device ID length 258 is cut to the reply buffer", printer([](C& c) {
                   c.deviceID = "MFG:A;MDL:" + std::string(300, 'x');
                   c.deviceIDLength = 258;
               }),
               "usb://A/" + std::string(243, 'x') + "?serial=S"),
        listed("device ID length 65535", printer(set(&C::deviceIDLength, std::uint16_t{65535})),
               "usb://A/B?serial=S"),
        named("device ID length short of its text", printer(set(&C::deviceIDLength, std::uint16_t{8})),
               "usb://A/Unknown?serial=S"),
        named("device ID of invalid UTF-8",
               printer([](C& c) { c.deviceID = "MFG:A;MDL:\xED\xA0\x80;"; }), "usb://Unknown/Unknown?serial=S"),
        named("device ID request stalls", printer([](C& c) { c.deviceID.reset(); }),
               "usb://Unknown/Unknown?serial=S"),
        listed("device ID keys as the device spells them",
               printer([](C& c) { c.deviceID = "MDL:B:C;junk;MFG:X;MFG:A"; }), "usb://A/B?serial=S"),
        listed("serial in UTF-16 beyond ASCII", printer([](C& c) { c.serialNumber = "S\xC3\xA9\xE2\x82\xAC"; }),
               "usb://A/B?serial=S\xC3\xA9\xE2\x82\xAC"),
        named("serial with a lone surrogate",
               printer([](C& c) { c.serialDescriptor = Bytes{6, 3, 'S', 0, 0x3D, 0xD8}; }),
               "usb://A/B?location=fa00010"),
        listed("serial descriptor length 0", printer([](C& c) { c.serialDescriptor = Bytes{0, 3}; }),
               "usb://A/B?serial="),
        listed("serial descriptor length 255, fewer bytes sent",
               printer([](C& c) { c.serialDescriptor = Bytes{255, 3, 'S', 0}; }), "usb://A/B?serial=S"),
        listed("serial descriptor of odd length", printer([](C& c) { c.serialDescriptor = Bytes{5, 3, 'S', 0, 'T'}; }),
               "usb://A/B?serial=S"),
        named("serial descriptor of the wrong type", printer([](C& c) { c.serialDescriptor = Bytes{4, 2, 'S', 0}; }),
               "usb://A/B?location=fa00010"),
        named("no serial number", printer([](C& c) { c.serialNumber.reset(); }), "usb://A/B?location=fa00010"),

        // --- Response files that cannot be saved ----------------------------------
        {"answer that cannot be saved", Command::Query, printer(), 5, "", "@PJL INFO ID\r\n",
         "usb://A/B?serial=S", false, 0, {}, 5, true},
        {"job whose progress cannot be saved, so nothing is sent", Command::Data, printer(), 5, "", kJob,
         "usb://A/B?serial=S", false, 0, {}, 5, true},
        {"test whose answer cannot be saved", Command::Active, printer(), 5, "", "", "usb://A/B?serial=S", false,
         0, {}, 5, true},
    });
    return rows;
}

class FaultTable : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FaultTable, EndsWithItsCodeAndThePrinterClosedOnce) {
    const FaultRow& row = GetParam();
    test::TempDir dir;
    const std::string output = dir.file("output"), response = dir.file(row.responseUnwritable ? "none/response" : "response"), list = dir.file("list");
    test::writeFile(output, row.output);

    VirtualPrinterConfig config = row.config;
    if (row.change) {
        if (row.changeAt == 0) {
            row.change(output);
        } else {
            config.onReceived = [&, done = false](std::uint64_t received) mutable {
                if (!done && received >= row.changeAt) row.change(output);
                done = done || received >= row.changeAt;
            };
        }
    }
    SimulatedUsbAccess bus({config});
    char name[] = "zelvik";
    char* argv[] = {name, nullptr};
    Application application(1, argv);
    ZelvikController controller(application, bus);

    ASSERT_EQ(controller.getPrinterList(list, -1), 0);
    if (row.leavesAfterListing) bus.unplug(0);

    int code = -1;
    switch (row.command) {
        case Command::List:
            // Listed by this URI, and opened by it.
            EXPECT_NE(test::readFile(list).find(">" + row.response + "<"), std::string::npos)
                << test::readFile(list);
            code = controller.isMachineActive(row.response, response);
            EXPECT_EQ(test::readFile(response), "True");
            break;
        case Command::Query:
            code = controller.sendPJLCommand(row.uri, output, response, row.maximumConectionTime);
            break;
        case Command::Data:
            code = controller.dataOutput(row.uri, output, response);
            break;
        case Command::Active:
            code = controller.isMachineActive(row.uri, response);
            break;
    }
    EXPECT_EQ(code, row.code);
    if (row.command != Command::List) {
        EXPECT_EQ(test::readFile(response), row.response);
    }
    if (row.command == Command::Data && code == 0) {
        EXPECT_EQ(bus.printer(0).bytesReceived(), std::filesystem::file_size(output));
    }
    // An output file that is unusable from the start, or a progress file
    // that cannot be saved, leaves the printer untouched.
    if ((code == 4 && row.changeAt == 0) || (code == 5 && row.command == Command::Data)) {
        EXPECT_EQ(bus.printer(0).bytesReceived(), 0u);
    }
    if (code == 4 && row.changeAt == 0) {
        EXPECT_EQ(bus.activity(0).interfaceOpens, 0u);
    }
    const SimulatedUsbAccess::Activity a = bus.activity(0);
    EXPECT_FALSE(a.deviceOpen || a.interfaceOpen);
    EXPECT_EQ(a.deviceOpens, a.deviceCloses);
    EXPECT_EQ(a.interfaceOpens, a.interfaceCloses);
}

std::string rowName(const ::testing::TestParamInfo<FaultRow>& info) {
    std::string name;
    for (const char* p = info.param.what; *p; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p))) {
            name += *p;
        } else if (*p == ' ') {
            name += '_';
        }
    }
    return std::to_string(info.index) + "_" + name;
}

INSTANTIATE_TEST_SUITE_P(Handlers, FaultTable, ::testing::ValuesIn(faultRows()), rowName);

}  // namespace
}  // namespace zelvik
