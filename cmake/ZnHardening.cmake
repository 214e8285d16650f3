# SPDX-License-Identifier: MIT
# Hardened binaries for the optimised builds (Release, RelWithDebInfo,
# MinSizeRel), as Debian builds its own: PIE, full RELRO with BIND_NOW,
# _FORTIFY_SOURCE (3 where the compiler and C library support it, else 2), the
# stack protector, and where the compiler has them stack clash protection and
# x86 control-flow protection (hardening-check looks for both). Debug builds (the sanitizer and fuzz presets) keep only
# PIE: fortification needs optimisation and would only warn there.
option(ZN_HARDENING "Hardening flags for the optimised builds" ON)

# PIE for executables too, not only -fPIE objects (CMP0083).
include(CheckPIESupported)
check_pie_supported(OUTPUT_VARIABLE zn_pie_message LANGUAGES C CXX)

if(ZN_HARDENING)
  # glibc turns level 3 into 2 silently where __builtin_dynamic_object_size is
  # missing, so ask it what it did rather than trust the compiler's version.
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-O2 -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3")
  check_cxx_source_compiles([[
    #include <cstring>
    #if !defined(__USE_FORTIFY_LEVEL) || __USE_FORTIFY_LEVEL < 3
    #error no _FORTIFY_SOURCE=3
    #endif
    int main() { return 0; }]] ZN_HAVE_FORTIFY_SOURCE_3)
  unset(CMAKE_REQUIRED_FLAGS)
  if(ZN_HAVE_FORTIFY_SOURCE_3)
    set(zn_fortify_level 3)
  else()
    set(zn_fortify_level 2)
  endif()

  include(CheckCXXCompilerFlag)
  set(zn_hardening_flags -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=${zn_fortify_level}
      -fstack-protector-strong)
  check_cxx_compiler_flag(-fstack-clash-protection ZN_HAVE_STACK_CLASH_PROTECTION)
  if(ZN_HAVE_STACK_CLASH_PROTECTION)
    list(APPEND zn_hardening_flags -fstack-clash-protection)
  endif()
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i.86)$")
    check_cxx_compiler_flag(-fcf-protection ZN_HAVE_CF_PROTECTION)
    if(ZN_HAVE_CF_PROTECTION)
      list(APPEND zn_hardening_flags -fcf-protection)
    endif()
  endif()

  set(zn_optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
  add_compile_options("$<${zn_optimised}:${zn_hardening_flags}>")
  add_link_options("$<${zn_optimised}:LINKER:-z,relro;LINKER:-z,now>")
endif()
