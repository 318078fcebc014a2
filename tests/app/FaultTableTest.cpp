// SPDX-License-Identifier: Apache-2.0
// The command handlers against virtual printers that fail at every transfer
// of a job, leave the bus or describe themselves wrongly, and against output
// files that change while they are sent. (Printers of every shape, with odd
// endpoints too, are the printer catalogue's: tests/printers.)
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

using sim::VirtualPrinterConfig;
using C = VirtualPrinterConfig;
using F = UsbFailure;

enum class Command { List, Query, Data, Active };

const std::string kURI = "usb://A/B?serial=S";
const std::string kLocationURI = "usb://A/B?location=fa00010";
const std::string kQuery = "@PJL INFO ID\r\n";
const std::string kAnswer = "@PJL INFO ID\r\n\"B\"\r\n\f";
const std::string kJob(5000, 'j');      // chunks of 2048, 2048 and 904 bytes
const std::string kEvenJob(4096, 'e');  // two full chunks, then a zero-length write

struct FaultRow {
    const char* what;
    Command command;
    VirtualPrinterConfig config;
    int code;
    // The response file afterwards ("": none). For a listing: the URI the
    // printer is listed by, which must then open it.
    std::string response;
    std::string output;
    std::string uri = kURI;
    bool leavesAfterListing = false;
    bool responseUnwritable = false;  // the response file's folder does not exist
    int maximumConectionTime = 5;
    // Changes the output file before the command (0), or once the printer
    // holds this many bytes.
    std::uint64_t changeAt = 0;
    std::function<void(const std::string& path)> change = nullptr;
    // Why the printer link failed, for a command that could not reach it.
    UsbFailure failure = UsbFailure::none;
    // Identified, but not in the printer list.
    bool unlisted = false;
};

VirtualPrinterConfig printer(std::function<void(C&)> change = {}) {
    C config;
    config.deviceID = "MFG:A;MDL:B;";
    config.serialNumber = "S";
    config.locationID = 0x0fa00010;
    if (change) change(config);
    return config;
}

template <typename T>
std::function<void(C&)> set(std::optional<T> C::*field, T value) {
    return [field, value](C& c) { c.*field = value; };
}

template <typename Change>
FaultRow with(FaultRow row, Change change) {
    change(row);
    return row;
}

FaultRow query(const char* what, C config, int code, std::string response = "", std::string output = kQuery) {
    return {what, Command::Query, std::move(config), code, std::move(response), std::move(output)};
}
FaultRow data(const char* what, C config, int code, std::string job = kJob) {
    return {what, Command::Data, std::move(config), code, code == 0 ? "100" : "0", std::move(job)};
}
FaultRow active(const char* what, C config, int code, std::string response, std::string uri = kURI) {
    return {what, Command::Active, std::move(config), code, std::move(response), "", std::move(uri)};
}
// A command that could not reach the printer, and the link's reason.
FaultRow query(const char* what, C config, int code, UsbFailure failure) {
    return with(query(what, std::move(config), code), [failure](FaultRow& r) { r.failure = failure; });
}
FaultRow data(const char* what, C config, int code, UsbFailure failure, std::string job = kJob) {
    return with(data(what, std::move(config), code, std::move(job)), [failure](FaultRow& r) { r.failure = failure; });
}
FaultRow active(const char* what, C config, UsbFailure failure, std::string uri = kURI) {
    return with(active(what, std::move(config), 0, "False", std::move(uri)),
                [failure](FaultRow& r) { r.failure = failure; });
}
FaultRow listed(const char* what, C config, std::string uri) {
    return {what, Command::List, std::move(config), 0, std::move(uri), ""};
}
// Not listed (no model name or serial number, or text the list cannot
// carry), but opened by this URI.
FaultRow named(const char* what, C config, std::string uri) {
    return with(active(what, config, 0, "True", uri), [](FaultRow& r) { r.unlisted = true; });
}

const auto leaves = [](FaultRow& r) { r.leavesAfterListing = true; };
const auto unwritable = [](FaultRow& r) { r.responseUnwritable = true; };
auto at(std::uint64_t received, std::function<void(const std::string&)> change) {
    return [=](FaultRow& r) { r.changeAt = received, r.change = change; };
}
auto uri(std::string uri) {
    return [=](FaultRow& r) { r.uri = uri; };
}

std::vector<FaultRow> faultRows() {
    const C staleBytes = printer([](C& c) { c.pendingAnswer = Bytes{'o', 'l', 'd'}; });
    std::vector<FaultRow> rows = {
        // --- The PJL query: drain read, write, answer read ------------------------
        query("query answered", printer(), 0, kAnswer),
        query("query after stale bytes, which are dropped", staleBytes, 0, kAnswer),
        query("long answer: only its first read is kept", printer(set(&C::answer, Bytes(5000, 'x'))), 0,
              std::string(3072, 'x')),
        query("query of 2047 bytes", printer(set(&C::answer, Bytes{'O', 'K'})), 0, "OK", std::string(2047, 'q')),
        query("empty query: one zero-length write", printer(set(&C::answer, Bytes{'O', 'K'})), 0, "OK", ""),
        query("query of 2048 bytes", printer(), 4, "", std::string(2048, 'q')),
        query("query write stalls at once", printer(set(&C::failWriteAfterBytes, std::uint64_t{0})), 7, F::stalled),
        query("query write stalls midway", printer(set(&C::failWriteAfterBytes, std::uint64_t{5})), 7, F::stalled),
        query("printer leaves midway through the query", printer(set(&C::disconnectAfterBytes, std::uint64_t{5})), 7,
              F::deviceGone),
        query("drain read stalls", printer(set(&C::stallReadAt, 1u)), 7, F::stalled),
        query("printer leaves at the drain read", printer(set(&C::disconnectAtRead, 1u)), 7, F::deviceGone),
        query("answer read stalls", printer(set(&C::stallReadAt, 2u)), 7, F::stalled),
        query("printer leaves at the answer read", printer(set(&C::disconnectAtRead, 2u)), 7, F::deviceGone),
        query("answer read after stale bytes stalls", printer([](C& c) {
                  c.pendingAnswer = Bytes{'o', 'l', 'd'};
                  c.stallReadAt = 3;
              }),
              7, F::stalled),
        with(query("no answer within the time limit", printer(), 8, "", "not PJL\r\n"),
             [](FaultRow& r) { r.maximumConectionTime = 1; }),
        with(query("answer that cannot be saved", printer(), 5), unwritable),

        // --- dataOutput: first, middle and last chunk, the zero-length write ----
        data("job sent", printer(), 0),
        data("job of whole chunks sent", printer(), 0, kEvenJob),
        data("empty job sent", printer(), 0, ""),
        data("first chunk stalls", printer(set(&C::failWriteAfterBytes, std::uint64_t{0})), 7, F::stalled),
        data("middle chunk stalls", printer(set(&C::failWriteAfterBytes, std::uint64_t{3000})), 7, F::stalled),
        data("last chunk stalls", printer(set(&C::failWriteAfterBytes, std::uint64_t{4500})), 7, F::stalled),
        data("zero-length write stalls", printer(set(&C::failWriteAfterBytes, std::uint64_t{4096})), 7, F::stalled,
             kEvenJob),
        data("printer leaves in the first chunk", printer(set(&C::disconnectAfterBytes, std::uint64_t{1000})), 7,
             F::deviceGone),
        data("printer leaves in the middle chunk", printer(set(&C::disconnectAfterBytes, std::uint64_t{3000})), 7,
             F::deviceGone),
        data("printer leaves in the last chunk", printer(set(&C::disconnectAfterBytes, std::uint64_t{4999})), 7,
             F::deviceGone),
        data("printer leaves before the zero-length write", printer(set(&C::disconnectAfterBytes, std::uint64_t{4096})),
             7, F::deviceGone, kEvenJob),
        // A virtual printer that cannot record what it gets stalls rather than
        // take it.
        data("capture that cannot be opened", printer(set(&C::captureFile, std::string("/"))), 7, F::stalled),
        data("capture that cannot be written", printer(set(&C::captureFile, std::string("/dev/full"))), 7, F::stalled),
        with(data("progress cannot be saved, so nothing is sent", printer(), 5),
             [](FaultRow& r) { r.responseUnwritable = true, r.response = ""; }),

        // --- Output files that change while they are sent --------------------------
        with(data("output file shrinks while sent", printer(), 4),
             at(2048, [](const std::string& path) { ::truncate(path.c_str(), 1000); })),
        with(data("output file grows while sent", printer(), 0),
             at(2048, [](const std::string& path) { test::writeFile(path, kJob + kJob); })),

        // --- Printers gone, held elsewhere or named wrongly -------------------------
        with(query("query to a printer gone since the listing", printer(), 7, F::noSuchPrinter), leaves),
        with(data("job to a printer gone since the listing", printer(), 7, F::noSuchPrinter),
             [](FaultRow& r) { r.leavesAfterListing = true, r.response = ""; }),
        with(active("test of a printer gone since the listing", printer(), F::noSuchPrinter), leaves),
        with(query("query to no printer by that URI", printer(), 7, F::noSuchPrinter), uri("usb://A/B?serial=s")),
        with(with(data("job to no printer by that URI", printer(), 7, F::noSuchPrinter), uri("usb://A/b?serial=S")),
             [](FaultRow& r) { r.response = ""; }),
        active("test of no printer by that URI", printer(), F::noSuchPrinter, kLocationURI),
        query("query to a printer held elsewhere", printer([](C& c) { c.interfaceHeldOpen = true; }), 7,
              F::printerHeld),
        active("test of a printer held elsewhere", printer([](C& c) { c.interfaceHeldOpen = true; }), F::printerHeld),
        with(active("test whose answer cannot be saved", printer(), 5, ""), unwritable),

        // --- Pipes only in setting 1 (the catalogue has every other shape) -------
        data("job to a printer whose pipes are in setting 1", printer([](C& c) {
                 c.interfaces.push_back(c.interfaces.front());
                 c.interfaces.front().endpoints = {};
                 c.interfaces.back().alternateSetting = 1;
             }),
             0),

        // --- Device IDs and serial-number descriptors as devices give them ---------
        named("device ID length 0", printer(set(&C::deviceIDLength, std::uint16_t{0})),
              "usb://Unknown/Unknown?serial=S"),
        named("device ID length 1", printer(set(&C::deviceIDLength, std::uint16_t{1})),
              "usb://Unknown/Unknown?serial=S"),
        named("device ID length 2: no text", printer(set(&C::deviceIDLength, std::uint16_t{2})),
              "usb://Unknown/Unknown?serial=S"),
        named("device ID length short of its text", printer(set(&C::deviceIDLength, std::uint16_t{8})),
              "usb://A/Unknown?serial=S"),
        listed("device ID length 255, fewer bytes sent", printer(set(&C::deviceIDLength, std::uint16_t{255})), kURI),
        listed("device ID length 258 is cut to the reply buffer", printer([](C& c) {
                   c.deviceID = "MFG:A;MDL:" + std::string(300, 'x');
                   c.deviceIDLength = 258;
               }),
               "usb://A/" + std::string(243, 'x') + "?serial=S"),
        listed("device ID length 65535", printer(set(&C::deviceIDLength, std::uint16_t{65535})), kURI),
        named("device ID of invalid UTF-8", printer([](C& c) { c.deviceID = "MFG:A;MDL:\xED\xA0\x80;"; }),
              "usb://Unknown/Unknown?serial=S"),
        named("device ID request stalls", printer([](C& c) { c.deviceID.reset(); }), "usb://Unknown/Unknown?serial=S"),
        listed("device ID keys as the device spells them",
               printer([](C& c) { c.deviceID = "MDL:B:C;junk;MFG:X;MFG:A"; }), kURI),
        listed("serial in UTF-16 beyond ASCII", printer([](C& c) { c.serialNumber = "S\xC3\xA9\xE2\x82\xAC"; }),
               "usb://A/B?serial=S\xC3\xA9\xE2\x82\xAC"),
        // Units become UTF-8 one by one: a surrogate pair is no valid UTF-8.
        named("serial beyond the basic plane", printer([](C& c) { c.serialNumber = "S\xF0\x9F\x98\x80"; }),
              kLocationURI),
        named("serial with a lone surrogate",
              printer([](C& c) { c.serialDescriptor = Bytes{6, 3, 'S', 0, 0x3D, 0xD8}; }), kLocationURI),
        listed("serial descriptor length 0", printer([](C& c) {
                   c.serialDescriptor = Bytes{0, 3};
               }),
               "usb://A/B?serial="),
        listed("serial descriptor length 255, fewer bytes sent", printer([](C& c) {
                   c.serialDescriptor = Bytes{255, 3, 'S', 0};
               }),
               kURI),
        listed("serial descriptor of odd length", printer([](C& c) {
                   c.serialDescriptor = Bytes{5, 3, 'S', 0, 'T'};
               }),
               kURI),
        named("serial descriptor of the wrong type", printer([](C& c) {
                  c.serialDescriptor = Bytes{4, 2, 'S', 0};
              }),
              kLocationURI),
        named("no serial number", printer([](C& c) { c.serialNumber.reset(); }), kLocationURI),
        // Text no XML file can hold leaves the printer out of the list only.
        named("model name holding U+0001", printer([](C& c) { c.deviceID = "MFG:A;MDL:B\x01;"; }),
              "usb://A/B\x01?serial=S"),
        named("serial number holding ESC and BEL", printer([](C& c) { c.serialNumber = "S\x1b]0;x\x07"; }),
              "usb://A/B?serial=S\x1b]0;x\x07"),
        named("maker holding U+FFFE, in the URI only", printer([](C& c) { c.deviceID = "MFG:A\xEF\xBF\xBE;MDL:B;"; }),
              "usb://A\xEF\xBF\xBE/B?serial=S"),
    };
    // Output files that cannot be sent at all, found before the printer is
    // opened: neither a FIFO nor a directory has an end or a size.
    const std::function<void(const std::string&)> unusable[] = {
        [](const std::string& path) { std::filesystem::remove(path); },
        [](const std::string& path) { std::filesystem::remove(path), std::filesystem::create_directory(path); },
        [](const std::string& path) { std::filesystem::remove(path), ::mkfifo(path.c_str(), 0600); },
    };
    for (const auto& make : unusable) {
        rows.push_back(with(query("unusable output file", printer(), 4), at(0, make)));
        rows.push_back(with(data("unusable output file", printer(), 4), [&](FaultRow& r) {
            at(0, make)(r);
            r.response = "";
        }));
    }
    return rows;
}

void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.what; }

class FaultTable : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FaultTable, EndsWithItsCodeAndThePrinterClosedOnce) {
    const FaultRow& row = GetParam();
    test::TempDir dir;
    const std::string output = dir.file("output"), list = dir.file("list");
    const std::string response = dir.file(row.responseUnwritable ? "none/response" : "response");
    test::writeFile(output, row.output);

    VirtualPrinterConfig config = row.config;
    if (row.change && row.changeAt == 0) row.change(output);
    if (row.change && row.changeAt > 0) {
        config.onReceived = [&, done = false](std::uint64_t received) mutable {
            if (!done && received >= row.changeAt) row.change(output);
            done = done || received >= row.changeAt;
        };
    }
    SimulatedUsbAccess bus({config});
    char name[] = "zelvik";
    char* argv[] = {name, nullptr};
    Application application(1, argv);
    ZelvikController controller(application, bus);

    ASSERT_EQ(controller.getPrinterList(list, -1), 0);
    EXPECT_EQ(row.unlisted, test::readFile(list).find("<deviceInformation>") == std::string::npos);
    if (row.leavesAfterListing) bus.unplug(0);

    int code = -1;
    switch (row.command) {
        case Command::List:
            EXPECT_NE(test::readFile(list).find(">" + row.response + "<"), std::string::npos) << test::readFile(list);
            code = controller.isMachineActive(row.response, response);
            EXPECT_EQ(test::readFile(response), "True");
            break;
        case Command::Query:
            code = controller.sendPJLCommand(row.uri, output, response, row.maximumConectionTime);
            break;
        case Command::Data: code = controller.dataOutput(row.uri, output, response); break;
        case Command::Active: code = controller.isMachineActive(row.uri, response); break;
    }
    EXPECT_EQ(code, row.code);
    EXPECT_STREQ(nameOf(controller.printerFailure()), nameOf(row.failure));
    if (row.command != Command::List) {
        EXPECT_EQ(test::readFile(response), row.response);
    }
    if (row.command == Command::Data && code == 0) {
        EXPECT_EQ(bus.printer(0).bytesReceived(), std::filesystem::file_size(output));
    }
    // An output file unusable from the start, or progress that cannot be
    // saved, leaves the printer untouched.
    if ((code == 4 && row.changeAt == 0) || (code == 5 && row.command == Command::Data)) {
        EXPECT_EQ(bus.printer(0).bytesReceived(), 0u);
    }
    const SimulatedUsbAccess::Activity a = bus.activity(0);
    EXPECT_FALSE(a.deviceOpen || a.interfaceOpen);
    EXPECT_EQ(a.deviceOpens, a.deviceCloses);
    EXPECT_EQ(a.interfaceOpens, a.interfaceCloses);
}

std::string rowName(const ::testing::TestParamInfo<FaultRow>& info) {
    std::string name = std::to_string(info.index) + "_";
    for (const char* p = info.param.what; *p; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
        if (*p == ' ') name += '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Handlers, FaultTable, ::testing::ValuesIn(faultRows()), rowName);

}  // namespace
}  // namespace zelvik
