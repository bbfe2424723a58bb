# Installs the build tree into a fresh prefix and uses it as a program outside
# the tree would: the installed updater starts on its own; the library's
# headers, archives, CMake package, pkg-config file and udev rule are there;
# every installed header compiles on its own; the example program builds
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
foreach(f LinkImpl.h LinkStream.h LocklessQueue_SPSC.h aUSBSeam.h aUSBNodeSeam.h aDirectorySeam.h)
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
