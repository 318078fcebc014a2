// SPDX-License-Identifier: Apache-2.0
// The doctor on a fake sysfs, device tree and udev database: each reason a
// printer cannot be opened, and the fix it names.
#include <gtest/gtest.h>

#include <filesystem>

#include "Doctor.h"
#include "support/TempDir.h"

namespace zelvik::test {
namespace {

namespace fs = std::filesystem;
using zelvikctl::Finding;

struct Interface {
    int number;
    int interfaceClass;
    std::string driver;
};

class Doctor : public ::testing::Test {
protected:
    void SetUp() override {
        roots.usbDevices = mDir.file("sys/bus/usb/devices");
        roots.dev = mDir.file("dev");
        roots.udevData = mDir.file("run/udev/data");
        roots.ruleDirs = {mDir.file("etc/udev/rules.d"), mDir.file("lib/udev/rules.d")};
        roots.canOpen = [this](const std::string& node) { return node == openable; };
        for (const auto& dir : {roots.usbDevices, roots.udevData, roots.ruleDirs[0], roots.ruleDirs[1]})
            fs::create_directories(dir);
    }

    void addDevice(const std::string& port, const std::string& vendor, int bus, int device,
                   const std::vector<Interface>& interfaces, bool node = true) {
        const fs::path dir = fs::path(roots.usbDevices) / port;
        fs::create_directories(dir);
        writeFile(dir / "idVendor", vendor + "\n");
        writeFile(dir / "idProduct", "0101\n");
        writeFile(dir / "busnum", std::to_string(bus) + "\n");
        writeFile(dir / "devnum", std::to_string(device) + "\n");
        writeFile(dir / "product", "LP-100\n");
        for (const Interface& i : interfaces) {
            const fs::path interface = dir / (port + ":1." + std::to_string(i.number));
            fs::create_directories(interface);
            writeFile(interface / "bInterfaceNumber", "0" + std::to_string(i.number) + "\n");
            writeFile(interface / "bInterfaceClass", "0" + std::to_string(i.interfaceClass) + "\n");
            if (!i.driver.empty()) fs::create_symlink("../../../../bus/usb/drivers/" + i.driver, interface / "driver");
        }
        if (node) {
            char name[32];
            std::snprintf(name, sizeof name, "bus/usb/%03d/%03d", bus, device);
            fs::create_directories((fs::path(roots.dev) / name).parent_path());
            writeFile(fs::path(roots.dev) / name, "");
        }
    }
    void writeFile(const fs::path& path, const std::string& text) { zelvik::test::writeFile(path.string(), text); }
    void installRule() { writeFile(fs::path(roots.ruleDirs[1]) / "60-zelvik.rules", "rule\n"); }

    // The one problem of a device, or "" when it has none.
    static std::string problemOf(const zelvikctl::DeviceReport& device) {
        std::string text;
        for (const Finding& f : device.findings) {
            if (f.kind == Finding::Kind::problem) text += f.text + " / fix: " + f.fix;
        }
        return text;
    }

    TempDir mDir;
    zelvikctl::DoctorRoots roots;
    std::string openable;
};

TEST_F(Doctor, AnOpenablePrinterIsHealthyAndItsDriversAreNamed) {
    installRule();
    addDevice("1-2", "fffe", 1, 5, {{0, 7, "usblp"}, {1, 8, "usb-storage"}});
    addDevice("1-3", "04b3", 1, 6, {{0, 7, "usblp"}});  // another vendor's
    openable = mDir.file("dev/bus/usb/001/005");
    const auto report = zelvikctl::examine("fffe", roots);
    ASSERT_EQ(1u, report.devices.size());
    const auto& printer = report.devices[0];
    EXPECT_TRUE(report.ruleInstalled);
    EXPECT_TRUE(printer.printerInterface);
    EXPECT_TRUE(printer.accessible);
    EXPECT_EQ("", problemOf(printer));
    ASSERT_EQ(2u, printer.interfaces.size());
    EXPECT_EQ("usblp", printer.interfaces[0].driver);
    EXPECT_EQ("usb-storage", printer.interfaces[1].driver);
    EXPECT_TRUE(report.healthy());
}

TEST_F(Doctor, TheTextShowsWhatADeviceSaysOfItselfMadeVisible) {
    installRule();
    addDevice("1-2", "fffe", 1, 5, {{0, 7, "usblp"}});
    writeFile(fs::path(roots.usbDevices) / "1-2" / "product", "LP\x1b]0;owned\x07-100\n");
    const std::string text = zelvikctl::doctorText(zelvikctl::examine("fffe", roots));
    EXPECT_NE(std::string::npos, text.find("usb 1-2 (bus 1 device 5, fffe:0101 LP^[]0;owned^G-100): ")) << text;
    EXPECT_EQ(std::string::npos, text.find_first_of("\x1b\x07")) << text;
}

TEST_F(Doctor, EachReasonForNoAccessNamesItsFix) {
    const struct {
        const char* what;
        bool rule;
        const char* database;  // the udev record, nullptr for none
        bool node;
        std::vector<Interface> interfaces;
        bool canOpen;
        std::string says, fix;
    } cases[] = {
        {"no rule", false, nullptr, true, {{0, 7, ""}}, false, "no udev rule", "install the zelvik package"},
        {"rule not applied",
         true,
         "E:ID_VENDOR_ID=fffe\n",
         true,
         {{0, 7, ""}},
         false,
         "not applied",
         "udevadm trigger --action=change --subsystem-match=usb --attr-match=idVendor=fffe"},
        {"unknown to udev", true, nullptr, true, {{0, 7, ""}}, false, "no record", "replug"},
        {"not the seat",
         true,
         "G:uaccess\nE:ID_VENDOR_ID=fffe\n",
         true,
         {{0, 7, ""}},
         false,
         "seat's user",
         "log in at the machine"},
        {"no node", true, nullptr, false, {{0, 7, ""}}, false, "no device node", "udev"},
        {"held by another program",
         true,
         nullptr,
         true,
         {{0, 7, "usbfs"}},
         true,
         "another program",
         "close the program"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(mDir.file("sys"));
        fs::remove_all(mDir.file("dev"));
        fs::remove_all(mDir.file("lib"));
        fs::remove_all(mDir.file("run"));
        SetUp();
        if (c.rule) installRule();
        // Bus 2, device 3: the usb_device minor is 128 + 2.
        if (c.database != nullptr) writeFile(fs::path(roots.udevData) / "c189:130", c.database);
        addDevice("2-1.4", "fffe", 2, 3, c.interfaces, c.node);
        openable = c.canOpen ? mDir.file("dev/bus/usb/002/003") : "";
        const auto report = zelvikctl::examine("fffe", roots);
        ASSERT_EQ(1u, report.devices.size());
        const std::string problem = problemOf(report.devices[0]);
        EXPECT_NE(std::string::npos, problem.find(c.says)) << problem;
        EXPECT_NE(std::string::npos, problem.find(c.fix)) << problem;
        EXPECT_FALSE(report.healthy());
    }
}

TEST_F(Doctor, NothingAttachedAndNoPrinterInterface) {
    installRule();
    auto report = zelvikctl::examine("fffe", roots);
    EXPECT_TRUE(report.devices.empty());
    EXPECT_FALSE(report.healthy());
    ASSERT_EQ(2u, report.findings.size());
    EXPECT_NE(std::string::npos, report.findings[1].fix.find("plug the printer in"));

    addDevice("3-1", "fffe", 3, 2, {{0, 8, "usb-storage"}});  // the vendor's card reader
    report = zelvikctl::examine("fffe", roots);
    ASSERT_EQ(1u, report.devices.size());
    EXPECT_FALSE(report.devices[0].printerInterface);
    EXPECT_EQ("", problemOf(report.devices[0]));
    EXPECT_TRUE(report.devices[0].node.empty());  // not even looked at
    EXPECT_FALSE(report.healthy());
}

}  // namespace
}  // namespace zelvik::test
