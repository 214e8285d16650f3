# SPDX-License-Identifier: MIT
# The mocked USB kernel as a static library, for the tests and the
# benchmarks: defines zn_mock_usb when umockdev and the libusb backend are
# there, and leaves it undefined otherwise; and zn_mock_usb_main, the main()
# of the test programs on it (umockdev's preload library loaded, each test in
# a process of its own).
if(NOT TARGET zn_mock_usb AND ZN_BUILD_LIBUSB)
  find_package(PkgConfig)
  if(PkgConfig_FOUND)
    pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)
    pkg_check_modules(MOCKED_LIBUSB libusb-1.0)
  endif()
  if(UMOCKDEV_FOUND AND MOCKED_LIBUSB_FOUND)
    find_package(Threads REQUIRED)
    add_library(zn_mock_usb STATIC ${CMAKE_CURRENT_LIST_DIR}/mock_usb.cpp)
    target_include_directories(zn_mock_usb PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(zn_mock_usb PUBLIC zn_zn417_model PkgConfig::UMOCKDEV Threads::Threads)
    target_compile_definitions(zn_mock_usb PRIVATE
      ZN_VENDOR_ID=${ZN_VENDOR_ID} ZN_PRODUCT_ID=${ZN_PRODUCT_ID}
      ZN_MOCK_TSAN_SUPPRESSIONS="${CMAKE_CURRENT_LIST_DIR}/umockdev-tsan.supp")
    if(TARGET GTest::gtest)
      add_library(zn_mock_usb_main OBJECT ${CMAKE_CURRENT_LIST_DIR}/mock_usb_main.cpp)
      target_include_directories(zn_mock_usb_main PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
      target_link_libraries(zn_mock_usb_main PUBLIC zn_mock_usb GTest::gtest)
    endif()
  else()
    message(STATUS "umockdev or libusb-1.0 not found: no mocked USB kernel")
  endif()
endif()
