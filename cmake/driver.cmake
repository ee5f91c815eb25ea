# The driver: one library of kernel C++ that sees nothing but platform/ and its own folders.
set(DRIVER_FOLDERS driver usb control link reader)
set(DRIVER_SOURCES)
foreach(folder ${DRIVER_FOLDERS})
  file(GLOB_RECURSE folder_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  list(APPEND DRIVER_SOURCES ${folder_sources})
endforeach()

# Flags of kernel C++: no exceptions or RTTI, no standard headers at all. Unwind tables stay, so
# that the host can end a thread whose frames pass through driver code.
set(DRIVER_COMPILE_OPTIONS -fno-exceptions -fno-rtti -nostdinc -nostdinc++ -funwind-tables
    -fno-threadsafe-statics -Wglobal-constructors)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(REMOVE_ITEM DRIVER_COMPILE_OPTIONS -Wglobal-constructors)
endif()

add_library(zarq7_driver STATIC ${DRIVER_SOURCES})
target_include_directories(zarq7_driver PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(zarq7_driver PRIVATE ${DRIVER_COMPILE_OPTIONS})
target_compile_definitions(zarq7_driver PRIVATE DBG=1)

# Every #include of a driver file must name platform/ or a driver folder; the check runs before
# the driver is compiled and fails the build otherwise.
set(DRIVER_INCLUDE_STAMP ${CMAKE_BINARY_DIR}/driver_includes.ok)
set(DRIVER_HEADERS)
foreach(folder ${DRIVER_FOLDERS})
  file(GLOB_RECURSE folder_headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.h)
  list(APPEND DRIVER_HEADERS ${folder_headers})
endforeach()
string(REPLACE ";" "," DRIVER_FOLDER_LIST "${DRIVER_FOLDERS}")
add_custom_command(
  OUTPUT ${DRIVER_INCLUDE_STAMP}
  COMMAND ${CMAKE_COMMAND} -DROOT=${CMAKE_SOURCE_DIR} -DFOLDERS=${DRIVER_FOLDER_LIST}
          -DSTAMP=${DRIVER_INCLUDE_STAMP} -P ${CMAKE_SOURCE_DIR}/cmake/check_driver_includes.cmake
  DEPENDS ${DRIVER_SOURCES} ${DRIVER_HEADERS} ${CMAKE_SOURCE_DIR}/cmake/check_driver_includes.cmake
  COMMENT "Checking that driver code includes only platform/ and driver headers")
add_custom_target(driver_include_check DEPENDS ${DRIVER_INCLUDE_STAMP})
add_dependencies(zarq7_driver driver_include_check)
