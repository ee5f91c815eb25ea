# The host: our implementation of platform/ and the simulated hardware, in modern C++. Each
# folder under host/ and sim/ is one library.
function(host_library name folder)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()

find_package(Threads REQUIRED)
host_library(host_kernel host/kernel Threads::Threads ${CMAKE_DL_LIBS})
foreach(folder io usb smclib machine)
  if(EXISTS ${CMAKE_SOURCE_DIR}/host/${folder}/CMakeLists.txt)
    add_subdirectory(host/${folder})
  endif()
endforeach()
if(EXISTS ${CMAKE_SOURCE_DIR}/sim/CMakeLists.txt)
  add_subdirectory(sim)
endif()
