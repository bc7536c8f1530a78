# Reads the built library file and checks what a host or a user's machine
# sees of it:
#   - exactly the exports getModuleProperties and makeModule;
#   - on Windows, imports from KERNEL32, USER32 and msvcrt only (no MinGW
#     runtime DLL), a file of at most MAX_SIZE bytes, no unwind tables
#     (.eh_frame: nothing in it unwinds, and a member of the C++ runtime
#     linked in would bring its own), and no static
#     constructor or thread-local data in the objects it is linked from, as
#     the library is linked without the runtime's start files that would run
#     or set them up.
#
# cmake -DLIBRARY=<file> -DOBJDUMP=<objdump> -DWINDOWS=<bool>
#       [-DMAX_SIZE=<bytes>] [-DOBJECTS=<obj|obj|...>] -P check_library_file.cmake

cmake_minimum_required(VERSION 3.21)

set(expected_exports getModuleProperties makeModule)
set(allowed_imports kernel32.dll user32.dll msvcrt.dll)
set(allowed_initializers "")

set(failures "")
macro(fail message)
  string(APPEND failures "  ${message}\n")
endmacro()

function(run_objdump result)
  execute_process(COMMAND ${OBJDUMP} ${ARGN} OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} ${ARGN} failed: ${errors}")
  endif()
  set(${result} "${output}" PARENT_SCOPE)
endfunction()

if(NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "no library at ${LIBRARY}")
endif()

set(exports "")
if(WINDOWS)
  run_objdump(headers -p "${LIBRARY}")
  # The "[Ordinal/Name Pointer] Table" block lists each exported name as
  # "[   0] name", up to an empty line.
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(\t[^\n]*\n)*" name_table "${headers}")
  string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" export_lines "${name_table}")
  foreach(line IN LISTS export_lines)
    string(REGEX REPLACE "^\n\t\\[ *[0-9]+\\] " "" name "${line}")
    list(APPEND exports "${name}")
  endforeach()
  string(REGEX MATCH "Export Address Table[ \t]+([0-9a-fA-F]+)" _ "${headers}")
  math(EXPR address_count "0x${CMAKE_MATCH_1}")
  if(NOT address_count EQUAL 2)
    fail("${address_count} entries in the export address table, not 2")
  endif()

  string(REGEX MATCHALL "DLL Name: [^\n]+" import_lines "${headers}")
  set(imports "")
  foreach(line IN LISTS import_lines)
    string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
    string(TOLOWER "${dll}" dll)
    list(APPEND imports "${dll}")
    if(NOT dll IN_LIST allowed_imports)
      fail("imports ${dll}")
    endif()
  endforeach()
  message(STATUS "imports: ${imports}")

  file(SIZE "${LIBRARY}" size)
  message(STATUS "size: ${size} bytes")
  if(DEFINED MAX_SIZE AND size GREATER MAX_SIZE)
    fail("${size} bytes, more than ${MAX_SIZE}")
  endif()

  run_objdump(library_sections -h "${LIBRARY}")
  if(library_sections MATCHES "[ \t](\\.eh_fram[^ \t\n]*)")
    fail("has a ${CMAKE_MATCH_1} section: unwind tables, which nothing in the library uses")
  endif()

  string(REPLACE "|" ";" objects "${OBJECTS}")
  foreach(object IN LISTS objects)
    get_filename_component(object_name "${object}" NAME)
    run_objdump(sections -h "${object}")
    if(sections MATCHES "[ \t](\\.ctors|\\.init_array|\\.tls)[^ \t\n]*")
      if(NOT object_name IN_LIST allowed_initializers)
        fail("${object_name} has a ${CMAKE_MATCH_1} section, which nothing would run or set up")
      endif()
    endif()
  endforeach()
else()
  run_objdump(symbols -T "${LIBRARY}")
  # Defined dynamic symbols: "<address> <flags> <section> <size> <version> <name>".
  string(REGEX MATCHALL "\n[0-9a-f]+ [^\n]*" symbol_lines "${symbols}")
  foreach(line IN LISTS symbol_lines)
    if(line MATCHES "\\*UND\\*")
      continue()
    endif()
    string(REGEX MATCH "[^ \t]+$" name "${line}")
    list(APPEND exports "${name}")
  endforeach()
endif()

list(SORT exports)
message(STATUS "exports: ${exports}")
if(NOT exports STREQUAL "${expected_exports}")
  fail("exports are '${exports}', not '${expected_exports}'")
endif()

if(failures)
  message(FATAL_ERROR "${LIBRARY}:\n${failures}")
endif()
