# Shared build settings: warnings, the kernel-code dialect, sanitizers, and test helpers.

# Optimised with assertions on: the default build is the one we test and benchmark.
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithAsserts CACHE STRING "" FORCE)
endif()
set(CMAKE_CXX_FLAGS_RELWITHASSERTS "-O2 -g" CACHE STRING "")
set(CMAKE_C_FLAGS_RELWITHASSERTS "-O2 -g" CACHE STRING "")

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

if(LUMO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(LUMO_SANITIZE=1)
endif()

# Kernel code is kernel code: no exceptions, no RTTI, no C++ runtime.
add_library(lumo_kernel_dialect INTERFACE)
target_compile_options(lumo_kernel_dialect INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>)

# lumo_check_no_cxx_runtime(<static library target>): a test that fails when the objects of the
# library reference a C++ runtime symbol (operator new/delete, exceptions, RTTI, std::).
function(lumo_check_no_cxx_runtime target)
  add_test(NAME ${target}_uses_no_cxx_runtime
           COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:${target}>
                   -P ${PROJECT_SOURCE_DIR}/cmake/CheckNoCxxRuntime.cmake)
endfunction()

# lumo_add_gtest(<name> SOURCES ... LIBS ...): one GoogleTest executable registered with CTest.
function(lumo_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
