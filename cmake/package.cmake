# The device link library as other programs build against it: its public
# headers, its three archives, a CMake package with one target
# (jorvanite::jorvanite), a pkg-config file and the udev rule that lets a
# logged-in user reach the family's devices. Included from the top-level
# build once the layers exist.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The library's own version (aVersion_GetString), the packages' version too.
set(JV_LIBRARY_VERSION 2.11.5)

# What a library user includes is exactly the folder include/jorvanite; the
# object layer's private state, the link engine's and link table's records,
# the test seams, the link-sharing server and the updater's log stay in the
# layers' folders beside their sources.
set(jv_public_dir ${CMAKE_SOURCE_DIR}/include/jorvanite)

# Build settings the headers carry are written into a header when the build
# is configured, so an installed header needs no definition on the command
# line.
math(EXPR jv_vendor_id "${JV_USB_VENDOR_ID}" OUTPUT_FORMAT HEXADECIMAL)
if(jv_vendor_id LESS_EQUAL 0 OR jv_vendor_id GREATER 0xFFFF)
  message(FATAL_ERROR "JV_USB_VENDOR_ID ${JV_USB_VENDOR_ID} is not a USB vendor id")
endif()
string(REGEX REPLACE "^0x" "" jv_vendor_hex "${jv_vendor_id}")
string(TOLOWER "000${jv_vendor_hex}" jv_vendor_hex)
string(REGEX MATCH "....$" JV_USB_VENDOR_ID_UDEV "${jv_vendor_hex}")
set(jv_generated ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/aBuildConfig.h.in ${jv_generated}/aBuildConfig.h @ONLY)
target_include_directories(jv_platform PUBLIC $<BUILD_INTERFACE:${jv_generated}>)

foreach(layer platform common device)
  set_target_properties(jv_${layer} PROPERTIES OUTPUT_NAME jorvanite_${layer} EXPORT_NAME ${layer})
endforeach()
add_library(jorvanite INTERFACE)
add_library(jorvanite::jorvanite ALIAS jorvanite)
target_link_libraries(jorvanite INTERFACE jv_device)
target_compile_features(jorvanite INTERFACE cxx_std_20)
target_include_directories(jorvanite INTERFACE $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
                                               $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# Archives built with sanitizers need their runtime in whatever links them.
set(JV_SANITIZE_LINK "")
if(JV_SANITIZE)
  set(JV_SANITIZE_LINK "-fsanitize=${JV_SANITIZE}")
  target_link_options(jorvanite INTERFACE ${JV_SANITIZE_LINK})
endif()

install(DIRECTORY ${jv_public_dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/jorvanite
        FILES_MATCHING PATTERN "*.h")
install(FILES ${jv_generated}/aBuildConfig.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/jorvanite)
install(TARGETS jorvanite jv_device jv_common jv_platform EXPORT jorvanite
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
set(jv_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/jorvanite)
install(EXPORT jorvanite NAMESPACE jorvanite:: DESTINATION ${jv_cmake_dir} FILE jorvanite-targets.cmake)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/jorvanite-config.cmake.in
  ${jv_generated}/jorvanite-config.cmake INSTALL_DESTINATION ${jv_cmake_dir})
write_basic_package_version_file(${jv_generated}/jorvanite-config-version.cmake
  VERSION ${JV_LIBRARY_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${jv_generated}/jorvanite-config.cmake ${jv_generated}/jorvanite-config-version.cmake
        DESTINATION ${jv_cmake_dir})

# The pkg-config file finds the prefix from its own place, so an install
# under any --prefix holds.
file(RELATIVE_PATH JV_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" JV_PC_PREFIX "${JV_PC_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/jorvanite.pc.in ${jv_generated}/jorvanite.pc @ONLY)
install(FILES ${jv_generated}/jorvanite.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# udev reads its rules from lib/udev/rules.d whatever the library directory;
# the number keeps the rule ahead of the seat rules that act on uaccess.
# The boot ROM's ids come from the recovery code that opens it.
file(STRINGS ${CMAKE_SOURCE_DIR}/recovery/IMX1050.h jv_rom_ids REGEX "inline constexpr uint16_t (VID|PID) = 0x")
string(REGEX MATCH "VID = 0x([0-9A-Fa-f]+)" _ "${jv_rom_ids}")
string(TOLOWER "${CMAKE_MATCH_1}" JV_BOOTROM_VID_UDEV)
string(REGEX MATCH "PID = 0x([0-9A-Fa-f]+)" _ "${jv_rom_ids}")
string(TOLOWER "${CMAKE_MATCH_1}" JV_BOOTROM_PID_UDEV)
if(NOT JV_BOOTROM_VID_UDEV MATCHES "^[0-9a-f][0-9a-f][0-9a-f][0-9a-f]$"
   OR NOT JV_BOOTROM_PID_UDEV MATCHES "^[0-9a-f][0-9a-f][0-9a-f][0-9a-f]$")
  message(FATAL_ERROR "recovery/IMX1050.h no longer gives the boot ROM's VID and PID as 0xHHHH")
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/60-jorvanite.rules.in ${jv_generated}/60-jorvanite.rules @ONLY)
install(FILES ${jv_generated}/60-jorvanite.rules DESTINATION lib/udev/rules.d)
