// SPDX-License-Identifier: Apache-2.0
// The standard (USB 2.0 chapter 9) and printer-class control requests the
// printer link sends and the virtual printers answer.
#pragma once

#include <cstdint>

namespace zelvik {

// bmRequestType
constexpr std::uint8_t kRequestTypeStandardInterfaceOut = 0x01;
constexpr std::uint8_t kRequestTypeStandardEndpointOut = 0x02;
constexpr std::uint8_t kRequestTypeStandardDeviceIn = 0x80;
constexpr std::uint8_t kRequestTypeStandardInterfaceIn = 0x81;
constexpr std::uint8_t kRequestTypeClassInterfaceIn = 0xA1;

// bRequest
constexpr std::uint8_t kPrinterGetDeviceID = 0x00;  // printer class
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;

// Feature selector and endpoint address bit.
constexpr std::uint16_t kEndpointHalt = 0;
constexpr std::uint8_t kEndpointDirectionIn = 0x80;

// Descriptor types.
constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;
constexpr std::uint8_t kDescriptorInterface = 4;
constexpr std::uint8_t kDescriptorEndpoint = 5;

}  // namespace zelvik
