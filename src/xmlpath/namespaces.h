// SPDX-License-Identifier: MIT
// The four XML namespaces the engine knows. Their URIs share one scheme and
// host, the build constant ZN_NAMESPACE_BASE, so that command templates built
// elsewhere carry exactly the strings the engine's namespace table holds.
#pragma once

#ifndef ZN_NAMESPACE_BASE
#error "ZN_NAMESPACE_BASE must be defined by the build (link zn_xmlpath)"
#endif

// String literals, so that templates can concatenate them at compile time.
#define ZN_NS_COMMON_URI ZN_NAMESPACE_BASE "/ns/cmd/2008/07/common/"      // prefix "ivec"
#define ZN_NS_VENDOR_URI ZN_NAMESPACE_BASE "/ns/cmd/2008/07/korvel/"      // prefix "vxr"
#define ZN_NS_PRINT_URI ZN_NAMESPACE_BASE "/ns/wdp/2008/01/print/"        // prefix "qldm"
#define ZN_NS_KORVEL2010_URI ZN_NAMESPACE_BASE "/ns/cmd/2010/05/korvel/"  // prefix "ikw"
