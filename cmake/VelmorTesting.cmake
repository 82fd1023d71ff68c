# velmor_add_usb_test(<name> <sources...>)
#
# A GoogleTest suite that talks to simulated devices on the virtual USB bus.
# Its main() (tests/support/usbtestmain.cpp) re-executes the binary under
# umockdev-wrapper when the preload library is missing, so ctest and a
# developer running the binary by hand get the same environment. Every test
# case becomes its own CTest test.

include_guard(GLOBAL)

find_package(PkgConfig REQUIRED)
find_program(VELMOR_UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)
if(NOT TARGET PkgConfig::VELMOR_TEST_LIBUSB)
  pkg_check_modules(VELMOR_TEST_LIBUSB REQUIRED IMPORTED_TARGET GLOBAL libusb-1.0)
endif()

function(velmor_add_usb_test name)
  if(NOT ARGN)
    message(FATAL_ERROR "velmor_add_usb_test(${name}) needs at least one source file")
  endif()
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE velmor_testsupport PkgConfig::VELMOR_TEST_LIBUSB)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 30
    PROPERTIES TIMEOUT 60
  )
endfunction()
