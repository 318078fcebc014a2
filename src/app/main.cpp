// SPDX-License-Identifier: Apache-2.0
// zelvik: carries out one printer command over USB (libusb).
#include "app/Application.h"
#include "app/ZelvikController.h"
#include "usb/libusb/LibusbAccess.h"
#include "usb/record/RecordingUsbAccess.h"

ZELVIK_BLOCK_SIGNALS_AT_START();

int main(int argc, char** argv) {
    zelvik::Application application(argc, argv);
    zelvik::LibusbAccess libusb;
    // ZELVIK_RECORD: what the printers answer is recorded on the way.
    const auto recording = zelvik::RecordingUsbAccess::fromEnvironment(libusb);
    zelvik::ZelvikController controller(application, recording ? *recording : static_cast<zelvik::UsbAccess&>(libusb));
    return application.run(controller);
}
