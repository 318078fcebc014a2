// SPDX-License-Identifier: Apache-2.0
// zelvik: carries out one printer command over USB (libusb).
#include "app/Application.h"
#include "app/ZelvikController.h"
#include "usb/libusb/LibusbAccess.h"

ZELVIK_BLOCK_SIGNALS_AT_START();

int main(int argc, char** argv) {
    zelvik::Application application(argc, argv);
    zelvik::LibusbAccess usb;
    zelvik::ZelvikController controller(application, usb);
    return application.run(controller);
}
