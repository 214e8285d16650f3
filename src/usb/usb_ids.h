// SPDX-License-Identifier: MIT
// Identity of the supported device family, fixed when the plug-in is built
// (the CMake cache variables ZN_VENDOR_ID and ZN_PRODUCT_ID).
#pragma once

#include <cstdint>

#if !defined(ZN_VENDOR_ID) || !defined(ZN_PRODUCT_ID)
#error "ZN_VENDOR_ID and ZN_PRODUCT_ID come from the build (target zn_usb)"
#endif

// The maker's USB vendor ID, compared with the "idVendor" property.
constexpr int32_t MakerVendorId = ZN_VENDOR_ID;

// The ZN417's USB product ID, the value Start puts into PluginState.productId.
constexpr uint32_t ModelProductId = ZN_PRODUCT_ID;

// Values the vendor-specific interface carries.
constexpr int32_t VendorSpecificProtocol = 255;  // "bInterfaceProtocol"
constexpr int32_t ScannerInterfaceNumber = 0;    // "bInterfaceNumber"
constexpr int32_t ScannerEndpointCount = 3;      // "bNumEndpoints"
