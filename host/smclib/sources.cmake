# The smart card library's kernel C++: compiled as the driver is (cmake/driver.cmake's flags,
# platform/ and these files alone), into the host's library and into SMCLIB.SYS
# (windows/CMakeLists.txt). The host-only files beside them (library.cpp, atr.cpp) wire the
# library into the machine and give the host's programs a standard-library view of the ATR.
set(SMCLIB_KERNEL_NAMES atr_parse attributes card_requests card_tracking create_link
    device_control initialize log_error raw remove_lock t0 update_card_capabilities)
set(SMCLIB_KERNEL_SOURCES)
foreach(name ${SMCLIB_KERNEL_NAMES})
  list(APPEND SMCLIB_KERNEL_SOURCES ${CMAKE_SOURCE_DIR}/host/smclib/${name}.cpp)
endforeach()
set(SMCLIB_KERNEL_HEADERS ${CMAKE_SOURCE_DIR}/host/smclib/atr_parse.h
    ${CMAKE_SOURCE_DIR}/host/smclib/control_request.h
    ${CMAKE_SOURCE_DIR}/host/smclib/io_request.h
    ${CMAKE_SOURCE_DIR}/host/smclib/library_state.h)

# Every #include of the library's kernel files must name platform/ or host/smclib/ (where a
# host-only header would fail the compilation itself: it includes standard headers, which kernel
# files do not see); checked before the library is compiled.
set(SMCLIB_INCLUDE_STAMP ${CMAKE_BINARY_DIR}/smclib_includes.ok)
string(REPLACE ";" "," smclib_include_files "${SMCLIB_KERNEL_SOURCES};${SMCLIB_KERNEL_HEADERS}")
add_custom_command(
  OUTPUT ${SMCLIB_INCLUDE_STAMP}
  COMMAND ${CMAKE_COMMAND} -DROOT=${CMAKE_SOURCE_DIR}
          -DFOLDERS=host/smclib
          "-DFILES=${smclib_include_files}" -DSTAMP=${SMCLIB_INCLUDE_STAMP}
          -P ${CMAKE_SOURCE_DIR}/cmake/check_driver_includes.cmake
  DEPENDS ${SMCLIB_KERNEL_SOURCES} ${SMCLIB_KERNEL_HEADERS}
          ${CMAKE_SOURCE_DIR}/cmake/check_driver_includes.cmake
  COMMENT "Checking that the smart card library includes only platform/ and its own headers")
add_custom_target(smclib_include_check DEPENDS ${SMCLIB_INCLUDE_STAMP})
