// SPDX-License-Identifier: Apache-2.0
#include "Doctor.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "Text.h"

namespace zelvikctl {
namespace {

namespace fs = std::filesystem;

std::string attribute(const fs::path& dir, const char* name) {
    std::ifstream in(dir / name);
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    return value;
}

int number(const std::string& text, int base) {
    int value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size() ? value : -1;
}

bool tagged(const DoctorRoots& roots, int bus, int device) {
    // usb_device nodes are character devices of major 189; the minor is
    // (bus - 1) * 128 + (device - 1).
    const int minor = (bus - 1) * 128 + (device - 1);
    std::ifstream in(roots.udevData + "/c189:" + std::to_string(minor));
    std::string line;
    while (std::getline(in, line)) {
        if (line == "G:uaccess" || line == "Q:uaccess") return true;
    }
    return false;
}

bool databaseKnows(const DoctorRoots& roots, int bus, int device) {
    std::error_code error;
    return fs::exists(roots.udevData + "/c189:" + std::to_string((bus - 1) * 128 + (device - 1)), error);
}

std::string driverOf(const fs::path& interfaceDir) {
    std::error_code error;
    const fs::path target = fs::read_symlink(interfaceDir / "driver", error);
    return error ? std::string() : target.filename().string();
}

void examineDevice(const DoctorReport& report, const DoctorRoots& roots, DeviceReport& d, const fs::path& dir) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(d.sysfsName + ":", 0) != 0) continue;
        InterfaceInfo info;
        info.number = number(attribute(entry.path(), "bInterfaceNumber"), 16);
        info.interfaceClass = number(attribute(entry.path(), "bInterfaceClass"), 16);
        info.driver = driverOf(entry.path());
        d.interfaces.push_back(info);
    }
    std::sort(d.interfaces.begin(), d.interfaces.end(),
              [](const InterfaceInfo& a, const InterfaceInfo& b) { return a.number < b.number; });
    d.printerInterface = std::any_of(d.interfaces.begin(), d.interfaces.end(),
                                     [](const InterfaceInfo& i) { return i.interfaceClass == 7; });
    if (!d.printerInterface) {
        d.findings.push_back({Finding::Kind::note, "no printer-class interface: not a printer zelvik serves", ""});
        return;
    }

    char node[64];
    std::snprintf(node, sizeof node, "/bus/usb/%03d/%03d", d.bus, d.device);
    d.node = roots.dev + node;
    if (!fs::exists(d.node, error)) {
        d.findings.push_back({Finding::Kind::problem, "no device node " + d.node,
                              "check that udev (systemd-udevd) is running, then replug the printer"});
    } else if (roots.canOpen && roots.canOpen(d.node)) {
        d.accessible = true;
        d.findings.push_back({Finding::Kind::ok, "this user can open " + d.node, ""});
    } else if (!report.ruleInstalled) {
        d.findings.push_back({Finding::Kind::problem, "this user cannot open " + d.node + ": no udev rule is installed",
                              "install the zelvik package (or cmake --install), then replug the printer"});
    } else if (!tagged(roots, d.bus, d.device)) {
        const std::string why = databaseKnows(roots, d.bus, d.device)
                                    ? "the udev rule is installed but was not applied to it"
                                    : "udev has no record of it";
        d.findings.push_back({Finding::Kind::problem, "this user cannot open " + d.node + ": " + why,
                              "replug the printer, or: sudo udevadm trigger --action=change "
                              "--subsystem-match=usb --attr-match=idVendor=" +
                                  report.vendorID});
    } else {
        d.findings.push_back({Finding::Kind::problem,
                              "this user cannot open " + d.node + ", although it is tagged for the seat's user",
                              "log in at the machine itself (a remote login is not the seat's user), "
                              "or ask the administrator for access"});
    }

    for (const InterfaceInfo& i : d.interfaces) {
        const std::string which = "interface " + std::to_string(i.number);
        if (i.driver == "usbfs") {
            d.findings.push_back({Finding::Kind::problem, which + " is held by another program (through usbfs)",
                                  "close the program that uses the printer (a print spooler's USB backend, "
                                  "for example), then try again"});
        } else if (i.driver == "usblp" && i.number == 0) {
            d.findings.push_back({Finding::Kind::note,
                                  which + ": the kernel printer driver usblp is bound; zelvik detaches it for "
                                          "each command and binds it again afterwards",
                                  ""});
        } else if (!i.driver.empty()) {
            d.findings.push_back({Finding::Kind::note, which + ": driver " + i.driver, ""});
        }
    }
}

}  // namespace

bool DoctorReport::healthy() const {
    if (devices.empty()) return false;
    for (const auto& d : devices) {
        for (const auto& f : d.findings) {
            if (f.kind == Finding::Kind::problem) return false;
        }
    }
    return std::any_of(devices.begin(), devices.end(), [](const DeviceReport& d) { return d.accessible; });
}

DoctorReport examine(const std::string& vendorID, const DoctorRoots& roots) {
    DoctorReport report;
    report.vendorID = vendorID;
    std::error_code error;
    for (const std::string& dir : roots.ruleDirs) {
        const std::string path = dir + "/" + roots.ruleName;
        if (fs::exists(path, error)) {
            report.ruleInstalled = true;
            report.rulePath = path;
            break;
        }
    }
    report.findings.push_back(report.ruleInstalled
                                  ? Finding{Finding::Kind::ok, "udev rule installed: " + report.rulePath, ""}
                                  : Finding{Finding::Kind::problem, "no udev rule " + roots.ruleName + " installed",
                                            "install the zelvik package (or cmake --install)"});

    std::vector<fs::path> candidates;
    for (const auto& entry : fs::directory_iterator(roots.usbDevices, error)) candidates.push_back(entry.path());
    std::sort(candidates.begin(), candidates.end());
    for (const fs::path& dir : candidates) {
        const std::string name = dir.filename().string();
        if (name.find(':') != std::string::npos) continue;  // an interface
        if (attribute(dir, "idVendor") != vendorID) continue;
        DeviceReport d;
        d.sysfsName = name;
        d.bus = number(attribute(dir, "busnum"), 10);
        d.device = number(attribute(dir, "devnum"), 10);
        d.productID = attribute(dir, "idProduct");
        d.product = attribute(dir, "product");
        examineDevice(report, roots, d, dir);
        report.devices.push_back(std::move(d));
    }
    if (report.devices.empty()) {
        report.findings.push_back({Finding::Kind::problem, "no USB device of vendor " + vendorID + " is attached",
                                   "plug the printer in and switch it on; lsusb lists what the machine sees"});
    }
    return report;
}

const char* kindName(Finding::Kind kind) {
    switch (kind) {
        case Finding::Kind::ok: return "ok";
        case Finding::Kind::note: return "note";
        case Finding::Kind::problem: return "problem";
    }
    return "problem";
}

std::string doctorText(const DoctorReport& report) {
    std::string out;
    auto show = [&out](const std::string& where, const Finding& f) {
        std::string line = where + kindName(f.kind) + ": " + f.text;
        if (!f.fix.empty()) line += "; fix: " + f.fix;
        out += visible(line, LineFeeds::show) + '\n';
    };
    for (const auto& f : report.findings) show("", f);
    for (const auto& d : report.devices) {
        const std::string where = "usb " + d.sysfsName + " (bus " + std::to_string(d.bus) + " device " +
                                  std::to_string(d.device) + ", " + report.vendorID + ":" + d.productID +
                                  (d.product.empty() ? "" : " " + d.product) + "): ";
        for (const auto& f : d.findings) show(where, f);
    }
    return out;
}

}  // namespace zelvikctl
