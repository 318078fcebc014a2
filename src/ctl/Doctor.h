// SPDX-License-Identifier: Apache-2.0
// `zelvikctl doctor`: why no printer shows up. It looks at the vendor's USB
// devices in sysfs and at their device nodes, the udev rule and the udev
// database, without opening anything for data.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zelvikctl {

// Where the doctor looks; the machine's own folders unless a test says
// otherwise.
struct DoctorRoots {
    std::string usbDevices = "/sys/bus/usb/devices";
    std::string dev = "/dev";
    std::string udevData = "/run/udev/data";
    std::vector<std::string> ruleDirs = {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                                         "/lib/udev/rules.d", "/usr/local/lib/udev/rules.d"};
    std::string ruleName = "60-zelvik.rules";
    // Whether this user may open a device node for reading and writing.
    std::function<bool(const std::string&)> canOpen;
};

struct Finding {
    enum class Kind { ok, note, problem };
    Kind kind;
    std::string text;
    std::string fix;  // empty unless a problem
};

struct InterfaceInfo {
    int number = -1;
    int interfaceClass = -1;
    std::string driver;  // empty: none bound
};

struct DeviceReport {
    std::string sysfsName;  // the port path, "1-2.3"
    int bus = 0;
    int device = 0;
    std::string productID;
    std::string product;
    std::string node;
    bool printerInterface = false;
    bool accessible = false;
    std::vector<InterfaceInfo> interfaces;
    std::vector<Finding> findings;
};

struct DoctorReport {
    std::string vendorID;  // four lower-case hex digits
    bool ruleInstalled = false;
    std::string rulePath;
    std::vector<DeviceReport> devices;
    std::vector<Finding> findings;  // about the machine as a whole
    bool healthy() const;
};

DoctorReport examine(const std::string& vendorID, const DoctorRoots& roots);

// "ok", "note" or "problem".
const char* kindName(Finding::Kind kind);
// One line per finding, with its fix; what the device reports of itself
// (its product name) made visible.
std::string doctorText(const DoctorReport& report);

}  // namespace zelvikctl
