// SPDX-License-Identifier: Apache-2.0
// zelvik-sim: zelvik over a bus of virtual printers, read from the file that
// the environment variable ZELVIK_SIMULATED_BUS names.
#include "app/Application.h"
#include "app/ZelvikController.h"
#include "usb/record/RecordingUsbAccess.h"
#include "usb/sim/SimulatedUsbAccess.h"

ZELVIK_BLOCK_SIGNALS_AT_START();

int main(int argc, char** argv) {
    zelvik::Application application(argc, argv);
    std::unique_ptr<zelvik::SimulatedUsbAccess> usb = zelvik::SimulatedUsbAccess::fromEnvironment();
    // ZELVIK_RECORD: virtual printers are recorded as real ones are.
    const auto recording = zelvik::RecordingUsbAccess::fromEnvironment(*usb);
    zelvik::ZelvikController controller(application, recording ? *recording : static_cast<zelvik::UsbAccess&>(*usb));
    return application.run(controller);
}
