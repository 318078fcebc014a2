// SPDX-License-Identifier: Apache-2.0
// A front end in a few lines: c++ -std=c++20 frontend.cpp $(pkg-config --cflags --libs zelvik-client++)
//   ./a.out BUS.xml PRINT-FILE    (a bus of virtual printers: runs zelvik-sim)
//   ./a.out "" PRINT-FILE         (real printers: runs the installed zelvik)
#include <zelvik/client.h>

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    namespace zc = zelvik::client;
    if (argc != 3) return 2;
    const std::string bus = argv[1];
    zc::Helper helper = bus.empty() ? zc::Helper::installed() : zc::Helper::simulated(bus);
    if (const char* program = std::getenv("ZELVIK_HELPER")) helper.program = program;

    auto printers = zc::listPrinters(helper);
    if (!printers) return std::cerr << printers.error().message() << '\n', 1;
    if (printers->empty()) return std::cerr << "no printers found\n", 1;
    const std::string uri = printers->front().deviceURI;

    auto answer = zc::sendPJL(helper, uri, zc::pjlRequest({"INFO ID"}), std::chrono::seconds(5));
    std::cout << uri << (answer ? " answers " + std::to_string(answer->size()) + " bytes\n" : "\n");

    zc::Job job = zc::Job::print(helper, uri, argv[2], [](int percent) { std::cout << percent << "%\n"; });
    const auto& done = job.wait();  // job.cancel() from any thread stops it
    if (!done) {  // what went wrong, and what to do about it
        const std::string advice = done.error().advice();
        std::cerr << done.error().message() << (advice.empty() ? "" : "; " + advice) << '\n';
        return 1;
    }
    std::cout << (done->cancelled ? "cancelled\n" : "printed\n");
    auto active = zc::isMachineActive(helper, uri);
    std::cout << "active: " << (active && *active ? "True" : "False") << '\n';
    return 0;
}
