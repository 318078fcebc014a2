// SPDX-License-Identifier: Apache-2.0
// Each catalogue printer is listed, tested with isMachineActive, asked
// "@PJL INFO ID" and sent a short job, and the outcome is checked against
// what the helper's rules give for the printer's description: the URI it is
// named by and whether it is listed, that interface 0 is the one claimed
// (and every other interface and kernel driver left alone), which setting's
// pipes carry the bytes, and whether the printer's language is behind them.
// Where a layout meets a limit of those rules, the limit is pinned below by
// name, as README's limits name it.
#include "printers/Catalogue.h"

#include <algorithm>
#include <filesystem>
#include <map>

#include "app/Application.h"
#include "app/ZelvikController.h"
#include "support/TempDir.h"
#include "usb/UsbFailure.h"
#include "usb/sim/BusFile.h"

namespace zelvik::catalogue {

namespace {

using sim::InterfaceDescription;
using sim::VirtualPrinterConfig;

// The layouts the helper cannot print to as their printer means, and why.
const std::map<std::string, std::string> kLimits = {
    {"layout-01", "setting 0 of interface 0 is IEEE 1284.4"},
    {"layout-02", "the printer class is not on interface 0"},
    {"layout-05", "the printer class is not on interface 0"},
    {"layout-06", "the printer class is not on interface 0"},
    {"layout-07", "the printer class is not on interface 0"},
    {"layout-08", "setting 0 of interface 0 is IEEE 1284.4"},
    {"layout-11", "setting 0 of interface 0 is unidirectional"},
    {"layout-12", "setting 0 of interface 0 is unidirectional"},
    {"layout-13", "the printer class is not on interface 0"},
    {"layout-14", "the printer class is not on interface 0"},
    {"layout-18", "setting 0 of interface 0 is unidirectional"},
};

const std::string kQuery = "\x1b%-12345X@PJL INFO ID\r\n\x1b%-12345X";
const std::string kJob(5000, 'j');

// What the helper's rules give for a printer.
struct Expectation {
    std::string uri;
    bool listed = false;
    std::string model, serial;
    bool claimed = false;  // interface 0 is claimed, and released, by every open
    bool opens = false;
    UsbFailure openFailure = UsbFailure::none;
    std::optional<std::uint8_t> out, in;  // the bulk pipes' endpoints
    bool speaks = false;                  // the printer's language is behind them
    int queryCode = 0;
    UsbFailure queryFailure = UsbFailure::none;
    std::string answer;
    int dataCode = 0;
    UsbFailure dataFailure = UsbFailure::none;
    std::string limit;
};

const InterfaceDescription* settingOf(const VirtualPrinterConfig& c, std::uint8_t alternate) {
    for (const InterfaceDescription& s : c.interfaces) {
        if (s.number == 0 && s.alternateSetting == alternate) return &s;
    }
    return nullptr;
}

// What the printer itself answers the query on those pipes of that
// setting: a printer of its own is asked, after the drain read the helper
// makes first, and read as the helper reads, every 0.2 s.
std::string answerOf(const VirtualPrinterConfig& c, std::uint8_t setting, std::uint8_t out, std::uint8_t in) {
    VirtualPrinterConfig quiet = c;
    quiet.captureFile.reset();
    quiet.alternateSetting = setting;
    const auto start = sim::Clock::now();
    sim::VirtualPrinter printer(quiet, start);
    printer.readBulk(in, 3072, start);
    const Bytes query(kQuery.begin(), kQuery.end());
    auto at = start;
    for (std::size_t sent = 0; sent < query.size();) {
        const auto taken = printer.writeBulk(out, std::span(query).subspan(sent), at);
        sent += taken.accepted;
        if (taken.stalled || taken.retryAt == sim::Clock::time_point::max()) return {};
        at = std::max(at, taken.retryAt);
    }
    for (const auto written = at; at < written + std::chrono::seconds(1); at += std::chrono::milliseconds(200)) {
        const auto read = printer.readBulk(in, 3072, at);
        if (read.kind == sim::VirtualPrinter::ReadKind::Data) return std::string(read.bytes.begin(), read.bytes.end());
    }
    return {};
}

Expectation expectationOf(const VirtualPrinterConfig& c) {
    Expectation e;
    const bool served = c.vendorID.value_or(sim::servedVendorID()) == sim::servedVendorID();
    const sim::PrinterIdentity identity = sim::identityOf(c);
    e.uri = identity.deviceURI.value_or("");
    e.listed = served && identity.modelName && identity.serialNumber;
    e.model = identity.modelName.value_or("");
    e.serial = identity.serialNumber.value_or("");

    // Interface 0 is claimed; its pipes are those of setting 0, or of
    // setting 1 when setting 0 has none.
    e.claimed = served && !c.heldOpen && !c.interfaceHeldOpen;
    const InterfaceDescription* setting = settingOf(c, c.alternateSetting);
    if (setting != nullptr && setting->endpoints.empty()) setting = settingOf(c, 1);
    e.opens = e.claimed && setting != nullptr;
    e.openFailure = !served ? UsbFailure::noSuchPrinter : e.opens ? UsbFailure::none : UsbFailure::noPipes;
    if (e.opens) {
        for (const sim::EndpointDescription& endpoint : setting->endpoints) {
            if (!endpoint.isBulk()) continue;
            if (endpoint.isIn() && !e.in) e.in = endpoint.address;
            if (!endpoint.isIn() && !e.out) e.out = endpoint.address;
        }
        e.speaks = setting->speaksPJL();
    }

    // The query reads first (the drain), then writes, then waits for the
    // answer; the job only writes.
    const auto failure = [&](UsbFailure reason) { return e.opens ? reason : e.openFailure; };
    if (!e.opens || !e.in || !e.out) {
        e.queryCode = 7;
        e.queryFailure = failure(UsbFailure::noPipes);
    } else if (e.speaks) {
        e.answer = answerOf(c, setting->alternateSetting, *e.out, *e.in);
    } else {
        e.queryCode = 8;
    }
    if (!e.opens || !e.out) {
        e.dataCode = 7;
        e.dataFailure = failure(UsbFailure::noPipes);
    }
    if (e.opens && e.out && (!e.speaks || !e.in)) {
        const bool printerClass = setting->interfaceClass == 7;
        e.limit = e.speaks                                 ? "setting 0 of interface 0 is unidirectional"
                  : printerClass && setting->protocol == 3 ? "setting 0 of interface 0 is IEEE 1284.4"
                  : printerClass && setting->protocol == 4 ? "setting 0 of interface 0 is IPP over USB"
                                                           : "the printer class is not on interface 0";
    }
    return e;
}

// A fresh controller for each command: its failure reason is the last
// command's.
struct Outcome {
    int code = -1;
    std::string response;
    UsbFailure failure = UsbFailure::none;
};
template <typename Command>
Outcome run(UsbAccess& usb, const std::string& response, Command command) {
    char name[] = "zelvik";
    char* argv[] = {name, nullptr};
    Application application(1, argv);
    ZelvikController controller(application, usb);
    std::remove(response.c_str());
    Outcome outcome;
    outcome.code = command(controller);
    outcome.response = test::readFile(response);
    outcome.failure = controller.printerFailure();
    return outcome;
}

}  // namespace

std::vector<Entry> entries() {
    std::vector<std::string> files;
    for (const auto& file : std::filesystem::directory_iterator(ZELVIK_SOURCE_DIR "/tests/printers")) {
        if (file.path().extension() == ".xml") files.push_back(file.path().string());
    }
    std::sort(files.begin(), files.end());
    files.push_back(ZELVIK_SOURCE_DIR "/examples/virtual-printers.xml");
    std::vector<Entry> found;
    for (const std::string& file : files) {
        const std::string name = std::filesystem::path(file).stem().string();
        const sim::BusFile bus = sim::readBusFile(file);
        if (bus.error || bus.printers.empty()) {
            found.push_back(
                {name, std::nullopt, bus.error ? sim::describeBusFileError(file, *bus.error) : "no printer"});
            continue;
        }
        for (std::size_t i = 0; i < bus.printers.size(); ++i) {
            found.push_back(
                {bus.printers.size() == 1 ? name : name + "-" + std::to_string(i + 1), bus.printers[i], ""});
        }
    }
    return found;
}

void PrintTo(const Case& test, std::ostream* out) { *out << std::get<0>(test).name << " " << std::get<1>(test).name; }

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name = std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

TEST_P(PrinterCatalogue, MeetsTheHelperAsItsRulesSay) {
    const auto& [factory, entry] = GetParam();
    ASSERT_TRUE(entry.printer) << entry.refusal;
    const Expectation expected = expectationOf(*entry.printer);
    const auto pinned = kLimits.find(entry.name);
    EXPECT_EQ(expected.limit, pinned == kLimits.end() ? "" : pinned->second);

    std::unique_ptr<Player> player = factory.make();
    player->attach(*entry.printer);
    test::TempDir dir;
    const std::string list = dir.file("list.xml"), response = dir.file("response"), query = dir.file("query.pjl"),
                      job = dir.file("job.prn");
    test::writeFile(query, kQuery);
    test::writeFile(job, kJob);

    const Outcome listing = run(player->usb(), list, [&](ZelvikController& c) { return c.getPrinterList(list, -1); });
    ASSERT_EQ(listing.code, 0);
    EXPECT_EQ(listing.response.find("<deviceInformation>") != std::string::npos, expected.listed) << listing.response;
    if (expected.listed) {
        EXPECT_NE(listing.response.find("<modelName>" + expected.model + "</modelName>"), std::string::npos);
        EXPECT_NE(listing.response.find("<serialNumber>" + expected.serial + "</serialNumber>"), std::string::npos);
        EXPECT_NE(listing.response.find("<deviceURI>" + expected.uri + "</deviceURI>"), std::string::npos)
            << listing.response;
    }

    const Outcome active =
        run(player->usb(), response, [&](ZelvikController& c) { return c.isMachineActive(expected.uri, response); });
    EXPECT_EQ(std::tuple(active.code, active.response), std::tuple(0, expected.opens ? "True" : "False"));
    EXPECT_STREQ(nameOf(active.failure), nameOf(expected.openFailure));

    const Outcome answer = run(player->usb(), response,
                               [&](ZelvikController& c) { return c.sendPJLCommand(expected.uri, query, response, 1); });
    EXPECT_EQ(answer.code, expected.queryCode);
    EXPECT_STREQ(nameOf(answer.failure), nameOf(expected.queryFailure));
    if (expected.queryCode == 0) {
        EXPECT_EQ(answer.response, expected.answer);
        EXPECT_FALSE(answer.response.empty());
    }

    const Outcome data =
        run(player->usb(), response, [&](ZelvikController& c) { return c.dataOutput(expected.uri, job, response); });
    EXPECT_EQ(data.code, expected.dataCode);
    EXPECT_STREQ(nameOf(data.failure), nameOf(expected.dataFailure));

    // Only interface 0 was claimed, once for each command that opened the
    // printer, and given back; the bytes went where the pipes of its
    // setting lead, and reached the printer only where it speaks.
    const Player::Claims claims = player->claims();
    const int opens = expected.claimed ? 3 : 0;
    EXPECT_EQ(std::tuple(claims.claimed, claims.released, claims.othersTouched, claims.driversAsBefore),
              std::tuple(opens, opens, 0, true));
    const sim::VirtualPrinter::Traffic traffic = player->traffic();
    std::map<std::uint8_t, std::uint64_t> out;
    if (expected.out && expected.in) out[*expected.out] += kQuery.size();
    if (expected.out) out[*expected.out] += kJob.size();
    EXPECT_EQ(traffic.bytesOut, out);
    const std::uint64_t sent = out.empty() ? 0 : out.begin()->second;
    EXPECT_EQ(std::tuple(traffic.received, traffic.ignored),
              expected.speaks ? std::tuple(sent, std::uint64_t{0}) : std::tuple(std::uint64_t{0}, sent));
    // The drain read, then (with somewhere to send the query) the reads
    // for the answer.
    const unsigned reads = !expected.in ? 0 : !expected.out ? 1 : 2;
    for (const auto& [address, transfers] : traffic.transfersIn) {
        EXPECT_EQ(address, expected.in.value_or(0)) << "bulk IN endpoint " << int{address} << " read";
        EXPECT_TRUE(reads == 2 ? transfers >= 2 : transfers == reads) << transfers << " reads";
    }
    EXPECT_EQ(traffic.transfersIn.empty(), reads == 0);
}

}  // namespace zelvik::catalogue
