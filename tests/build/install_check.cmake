# Installs the build tree into a fresh prefix and uses it as a program outside
# the tree would: the installed updater starts on its own; the library's
# headers, archives, CMake package, pkg-config file and udev rule are there;
# the headers are those of include/jorvanite, each compiles on its own and
# none lets a program name an internal definition; the example program builds
# against the prefix alone, once through find_package and once through
# pkg-config, with no flag of its own, and both builds read a simulated
# module's identity over TCP on loopback.
#   cmake -DBUILD_DIR=<build tree> -DSOURCE_DIR=<source tree> -DWORK=<scratch dir>
#         -DCXX=<compiler> -DGENERATOR=<generator> -DMAKE_PROGRAM=<make program>
#         -DSIM=<sim program> -DVENDOR_ID=<JV_USB_VENDOR_ID> -P install_check.cmake
set(PREFIX "${WORK}/prefix")
file(REMOVE_RECURSE "${WORK}")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}${err}")
  endif()
  set(run_out "${out}" PARENT_SCOPE)
  set(run_err "${err}" PARENT_SCOPE)
endfunction()

run("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}")
set(installed "${run_out}")

set(program "${PREFIX}/bin/updater")
if(NOT EXISTS "${program}")
  message(FATAL_ERROR "the install holds no ${program}:\n${installed}")
endif()
execute_process(COMMAND "${program}" -h RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT err MATCHES "Application Usage:")
  message(FATAL_ERROR "${program} -h gave ${rc}:\n${out}${err}")
endif()

# What the library's users rely on, and what must stay inside: the object
# layer's private state and the seams that tests put scripted devices under.
set(expected
  include/jorvanite/Module.h include/jorvanite/SystemClass.h include/jorvanite/aError.h
  include/jorvanite/aUSB.h
  lib/libjorvanite_device.a lib/libjorvanite_common.a lib/libjorvanite_platform.a
  lib/cmake/jorvanite/jorvanite-config.cmake lib/pkgconfig/jorvanite.pc
  lib/udev/rules.d/60-jorvanite.rules)
foreach(f ${expected})
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "the install holds no ${f}:\n${installed}")
  endif()
endforeach()
foreach(f LinkImpl.h LinkStream.h LocklessQueue_SPSC.h aUSBSeam.h aUSBNodeSeam.h aDirectorySeam.h
          aDiscoverySeam.h aLinkInternal.h aLinkTableInternal.h aStreamInternal.h aPacketLogInternal.h
          aLogger.h)
  if(EXISTS "${PREFIX}/include/jorvanite/${f}")
    message(FATAL_ERROR "the install carries the internal header ${f}")
  endif()
endforeach()

# udev compares the attributes as text: four lower-case hex digits.
file(READ "${PREFIX}/lib/udev/rules.d/60-jorvanite.rules" rules)
math(EXPR vendor "${VENDOR_ID}" OUTPUT_FORMAT HEXADECIMAL)
string(REGEX REPLACE "^0x" "000" vendor "${vendor}")
string(REGEX MATCH "....$" vendor "${vendor}")
file(STRINGS "${SOURCE_DIR}/recovery/IMX1050.h" rom REGEX "(VID|PID) = 0x")
string(REGEX MATCH "VID = 0x([0-9A-Fa-f]+)" _ "${rom}")
string(TOLOWER "${CMAKE_MATCH_1}" rom_vid)
string(REGEX MATCH "PID = 0x([0-9A-Fa-f]+)" _ "${rom}")
string(TOLOWER "${CMAKE_MATCH_1}" rom_pid)
foreach(rule
    "SUBSYSTEM==\"usb\"[^\n]*ATTR{idVendor}==\"${vendor}\"[^\n]*ATTR{idProduct}==\"\\[0-7\\]\\*\"[^\n]*TAG\\+=\"uaccess\""
    "SUBSYSTEM==\"hidraw\"[^\n]*ATTRS{idVendor}==\"${rom_vid}\"[^\n]*ATTRS{idProduct}==\"${rom_pid}\"[^\n]*TAG\\+=\"uaccess\"")
  if(NOT rules MATCHES "${rule}")
    message(FATAL_ERROR "the udev rule has no line matching ${rule}:\n${rules}")
  endif()
endforeach()

# A CMake build outside the tree, by find_package only.
run("configuring the outside build"
    "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/tests/build/outside" -B "${WORK}/outside" -G "${GENERATOR}"
    "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}" "-DCMAKE_CXX_COMPILER=${CXX}" "-DCMAKE_PREFIX_PATH=${PREFIX}"
    "-DEXAMPLE_DIR=${SOURCE_DIR}/examples/module_info")
run("the outside build" "${CMAKE_COMMAND}" --build "${WORK}/outside")
file(READ "${WORK}/outside/package-version" cmake_version)

# The same program by pkg-config: the flags it gives are all the compiler gets.
function(pkg_config var)
  run("pkg-config ${ARGN}" "${CMAKE_COMMAND}" -E env "PKG_CONFIG_PATH=${PREFIX}/lib/pkgconfig"
      pkg-config ${ARGN} jorvanite)
  string(STRIP "${run_out}" out)
  separate_arguments(out UNIX_COMMAND "${out}")
  set(${var} "${out}" PARENT_SCOPE)
endfunction()
pkg_config(cflags --cflags)
pkg_config(flags --cflags --libs)
pkg_config(pc_version --modversion)

# Each installed header on its own, twice in one unit, with the package's
# compile flags only: a header that leans on an include it does not make, or
# on a definition that only the library's build had, fails here.
file(GLOB headers RELATIVE "${PREFIX}/include/jorvanite" "${PREFIX}/include/jorvanite/*.h")
set(units "")
foreach(header ${headers})
  set(unit "${WORK}/headers/${header}.cpp")
  file(WRITE "${unit}" "#include <jorvanite/${header}>\n#include <jorvanite/${header}>\n")
  list(APPEND units "${unit}")
endforeach()
run("compiling each installed header alone" "${CXX}" ${cflags} -Wall -Wextra -Werror -fsyntax-only ${units})

# The install is the folder include/jorvanite of the source tree, header for
# header, and the configured settings.
file(GLOB public RELATIVE "${SOURCE_DIR}/include/jorvanite" "${SOURCE_DIR}/include/jorvanite/*.h")
list(APPEND public aBuildConfig.h)
list(SORT public)
list(SORT headers)
if(NOT headers STREQUAL public)
  message(FATAL_ERROR "installed headers:\n  ${headers}\nbut include/jorvanite holds:\n  ${public}")
endif()

# A program sees no internal definition. Each row: a case of internals.cpp,
# the internal headers that make it valid inside the library (comma-separated;
# "-" for none) and the name the compiler must give as the cause. The case
# compiles against the source tree with those headers, so it fails against
# the prefix for want of the internal and nothing else.
set(internal_cases
  "1 aLinkInternal.h,aLinkTableInternal.h aLink_GetLinkObject"
  "2 aLinkInternal.h aLink"
  "3 aLinkTableInternal.h aLink_LookupEntry"
  "4 aLinkTableInternal.h linkItem"
  "5 aLinkInternal.h aLink_Init"
  "6 aStreamInternal.h aStream"
  "7 aPacketLogInternal.h aPacketLog"
  "8 aUSBNodeSeam.h jvusb_set_node_path_format"
  "9 aDiscoverySeam.h aDiscovery_SetInterfaceListing"
  "10 LinkImpl.h impl"
  "11 - linkStreamFilter"
  "12 - installStreamFilter"
  "13 aLogger.h aLogger")
set(inside -I${SOURCE_DIR}/include -I${SOURCE_DIR}/include/jorvanite -I${SOURCE_DIR}/platform
    -I${SOURCE_DIR}/common -I${SOURCE_DIR}/device -I${BUILD_DIR}/generated)
set(case_source "${SOURCE_DIR}/tests/build/internals.cpp")
foreach(case ${internal_cases})
  separate_arguments(case UNIX_COMMAND "${case}")
  list(GET case 0 number)
  list(GET case 1 internal)
  list(GET case 2 name)
  if(NOT internal STREQUAL "-")
    string(REPLACE "," ";" internal "${internal}")
    set(forced "")
    foreach(header ${internal})
      list(APPEND forced -include ${header})
    endforeach()
    run("case ${number} of internals.cpp inside the library" "${CXX}" -std=c++20 ${inside} ${forced}
        -DJV_CASE=${number} -fsyntax-only "${case_source}")
  endif()
  execute_process(COMMAND "${CXX}" ${cflags} -DJV_CASE=${number} -fsyntax-only "${case_source}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc EQUAL 0)
    message(FATAL_ERROR "case ${number} of internals.cpp compiles against the installed headers: "
                        "they expose ${name}")
  endif()
  if(NOT err MATCHES "[^A-Za-z0-9_]${name}[^A-Za-z0-9_]")
    message(FATAL_ERROR "case ${number} of internals.cpp failed against the installed headers, "
                        "but not for ${name}:\n${err}")
  endif()
endforeach()

run("the pkg-config build" "${CXX}" "${SOURCE_DIR}/examples/module_info/main.cpp" ${flags}
    -o "${WORK}/module_info_pc")

foreach(example "${WORK}/outside/module_info/module_info" "${WORK}/module_info_pc")
  run("${example} against the simulated module"
      bash "${SOURCE_DIR}/tests/build/run_example.sh" "${SIM}" "${example}"
      --serial 40F5849A --model 13 --version 2.16.3)
  string(REGEX MATCH "^library ([0-9.]+)\n" _ "${run_out}")
  set(library_version "${CMAKE_MATCH_1}")
  set(identity "serial number 40F5849A\nmodel 13 (Halvorn)\nfirmware 2.16.3\n")
  if(NOT run_out STREQUAL "library ${library_version}\n${identity}")
    message(FATAL_ERROR "${example} printed:\n${run_out}${run_err}\nwhere the module is:\n${identity}")
  endif()
  if(NOT cmake_version STREQUAL library_version OR NOT pc_version STREQUAL library_version)
    message(FATAL_ERROR "library ${library_version}, but the CMake package says ${cmake_version} "
                        "and pkg-config ${pc_version}")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK}")
