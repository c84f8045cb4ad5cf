# The C and C++ API: libkelvane.a (the core and src/capi, position-independent, so that it
# can go into a shared library as well as a program), include/kelvane.h and kelvane.hpp,
# kelvaneConfig.cmake (find_package(kelvane CONFIG) -> kelvane::kelvane) and kelvane.pc.
#
# In the wheel all of it lives inside the Python package (site-packages/kelvane/include,
# lib, lib/cmake/kelvane, lib/pkgconfig), where `python -m kelvane --cmake-dir` and the
# cmake.root and pkg_config entry points find it; a plain `cmake --install` uses the usual
# include/ and lib/ of its prefix. Both layouts are relocatable.
#
# The archive holds the very objects of the core that the extension modules link, so it
# has the modules' glibc floor: the functions glibc 2.34 moved are bound to their oldest
# versions (build-support/glibc_floor.h), and a program links it against its own glibc,
# 2.31 or later (pthread_mutex_clocklock, 2.30, is the newest call). Before 2.34 those
# functions live in libpthread and librt, which the link interface names.

include(CMakePackageConfigHelpers)
find_package(Threads REQUIRED)

# The version macros of the header are the package's version: a release that changes one
# and not the other fails here.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/include/kelvane.h _kv_version_line REGEX "^#define KV_VERSION_STRING ")
string(REGEX REPLACE "^#define KV_VERSION_STRING \"([^\"]*)\".*" "\\1" KELVANE_CAPI_VERSION "${_kv_version_line}")
if(DEFINED SKBUILD_PROJECT_VERSION)
  set(_kv_package_version "${SKBUILD_PROJECT_VERSION}")
else()
  file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/kelvane/__init__.py _kv_init_line REGEX "^__version__ = ")
  string(REGEX REPLACE "^__version__ = \"([^\"]*)\".*" "\\1" _kv_package_version "${_kv_init_line}")
endif()
if(NOT KELVANE_CAPI_VERSION STREQUAL _kv_package_version)
  message(FATAL_ERROR "include/kelvane.h says version ${KELVANE_CAPI_VERSION}, the package ${_kv_package_version}: "
                      "update KV_VERSION_* in include/kelvane.h")
endif()

if(SKBUILD)
  set(_kv_root_prefix kelvane/)
else()
  set(_kv_root_prefix "")
endif()
set(KELVANE_INSTALL_INCLUDEDIR ${_kv_root_prefix}include)
set(KELVANE_INSTALL_LIBDIR ${_kv_root_prefix}lib)
set(KELVANE_INSTALL_CMAKEDIR ${_kv_root_prefix}lib/cmake/kelvane)

add_library(kelvane STATIC $<TARGET_OBJECTS:kelvane_corelib>
  src/capi/common.cpp
  src/capi/queue.cpp
  src/capi/lock.cpp
  src/capi/blocks.cpp)
add_library(kelvane::kelvane ALIAS kelvane)
set_target_properties(kelvane PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(kelvane
  PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src
  PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
         $<INSTALL_INTERFACE:${KELVANE_INSTALL_INCLUDEDIR}>)
target_link_libraries(kelvane PUBLIC Threads::Threads rt)
kelvane_compile_options(kelvane)
if(KELVANE_SANITIZE)
  # A program that links the sanitized library needs the sanitizers' runtime.
  target_link_options(kelvane INTERFACE -fsanitize=address,undefined)
  set(KELVANE_PC_EXTRA_LIBS " -fsanitize=address,undefined")
else()
  set(KELVANE_PC_EXTRA_LIBS "")
endif()

install(TARGETS kelvane EXPORT kelvaneTargets ARCHIVE DESTINATION ${KELVANE_INSTALL_LIBDIR})
install(FILES include/kelvane.h include/kelvane.hpp DESTINATION ${KELVANE_INSTALL_INCLUDEDIR})
install(EXPORT kelvaneTargets NAMESPACE kelvane:: DESTINATION ${KELVANE_INSTALL_CMAKEDIR})
configure_package_config_file(build-support/kelvaneConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kelvaneConfig.cmake
  INSTALL_DESTINATION ${KELVANE_INSTALL_CMAKEDIR})
# A newer version of the same major number serves a program that asked for an older one.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kelvaneConfigVersion.cmake
  VERSION ${KELVANE_CAPI_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kelvaneConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/kelvaneConfigVersion.cmake
  DESTINATION ${KELVANE_INSTALL_CMAKEDIR})
configure_file(build-support/kelvane.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kelvane.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kelvane.pc DESTINATION ${KELVANE_INSTALL_LIBDIR}/pkgconfig)
