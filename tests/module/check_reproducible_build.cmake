# Builds the module library in two fresh build folders whose paths differ in
# name and depth, with different SOURCE_DATE_EPOCH values and at different
# moments, and checks that both files have the same SHA-256: neither the
# build path nor the time may reach the library's bytes.
#
# cmake -DSOURCE_DIR=<tree> -DWORK_DIR=<scratch folder> -DTOOLCHAIN=<file>
#       -DBUILD_TYPE=<type> -DLIBRARY_NAME=<file name> -P check_reproducible_build.cmake

cmake_minimum_required(VERSION 3.21)

set(first "${WORK_DIR}/a")
set(second "${WORK_DIR}/a-second-folder/with/a/longer/path")
file(REMOVE_RECURSE "${WORK_DIR}")

set(hashes "")
set(epoch 0)
foreach(folder IN ITEMS "${first}" "${second}")
  math(EXPR epoch "${epoch} + 86400")
  execute_process(
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
              ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${folder}"
              -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
      OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "configuring ${folder} failed:\n${output}")
  endif()
  execute_process(
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
              ${CMAKE_COMMAND} --build "${folder}" --target quillmark -j 2
      OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "building ${folder} failed:\n${output}")
  endif()
  file(SHA256 "${folder}/${LIBRARY_NAME}" hash)
  message(STATUS "${hash}  ${folder}/${LIBRARY_NAME}")
  list(APPEND hashes ${hash})
endforeach()

list(GET hashes 0 first_hash)
list(GET hashes 1 second_hash)
if(NOT first_hash STREQUAL second_hash)
  execute_process(COMMAND cmp -l "${first}/${LIBRARY_NAME}" "${second}/${LIBRARY_NAME}" OUTPUT_VARIABLE differences)
  message(FATAL_ERROR "the two builds differ:\n${differences}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
