# Installs the build tree into a fresh prefix and runs the installed program's
# usage from there: the install must carry bin/updater, and it must start on
# its own, away from the build tree.
#   cmake -DBUILD_DIR=<build tree> -DPREFIX=<scratch prefix> -P install_check.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}${err}")
endif()
set(program "${PREFIX}/bin/updater")
if(NOT EXISTS "${program}")
  message(FATAL_ERROR "the install holds no ${program}:\n${out}")
endif()
execute_process(COMMAND "${program}" -h RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT err MATCHES "Application Usage:")
  message(FATAL_ERROR "${program} -h gave ${rc}:\n${out}${err}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
