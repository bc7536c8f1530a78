# The framework's CMake targets, for this repository and for any module
# built on the framework (through se_sdk2Config.cmake):
#
#   se_sdk2::protocol   header only: the host-visible types (SEHostTypes.h and
#                       the headers it gathers) and the protocol rules
#                       (SEProtocol.h), for hosts and modules alike
#   se_sdk2::bases      the three base classes (SEModule_base, SEPin,
#                       SEGUI_base), without a platform layer: for programs
#                       that bring their own (a test's fake clock and keys)
#   se_sdk2::platform   the platform layer of the target (platform/): the C
#                       runtime and user32 on Windows; the monotonic clock and
#                       the loading process's key state on Linux
#   se_sdk2::framework  both: the framework as a program that runs a module's
#                       classes directly links it
#
#   se_add_module(TARGET SOURCES src... [DEF file.def] [OUTPUT_NAME name]
#                 [OUTPUT_DIRECTORY dir] [LIBRARIES lib...] [NO_FRAMEWORK])
#
# makes the module library a host loads: TARGET.sem on Windows, an i686 DLL
# built with the module flags below, and TARGET.so natively. OUTPUT_NAME
# (default TARGET) is the file's stem, OUTPUT_DIRECTORY its folder (default
# the current build folder). DEF names the exports: the linker takes it on
# Windows, and natively a version script made from its EXPORTS lines exports
# the same names and nothing else; without DEF the sources' own export
# attributes decide. The module compiles its own copy of the framework
# (se_sdk2::bases and se_sdk2::platform) with its own flags, since the
# module flags (no exceptions, no RTTI) cannot be shared with the programs
# that link the framework's libraries; NO_FRAMEWORK makes a flat module on
# the protocol alone. LIBRARIES are linked ahead of the runtime libraries.
#
# The module flags on Windows make the library small and self-contained:
# nothing of the C++ runtime's exception support is used, unused functions and
# data are dropped, symbols are stripped. No default libraries: the C++
# runtime library is not searched, so a function that would need it (a
# throwing allocation, say) fails the link instead of pulling in the
# runtime's exception machinery. No start files: DllMain itself is the entry
# point, so loading runs no code of the runtime's either (no static
# constructors: the sources must have none that matter). The host may call in
# with a stack aligned to only 4 bytes, as Win32 promises, and nothing in a
# module needs more, so no function realigns it. Floats move through SSE
# registers, which keep a host's 32-bit patterns (signalling NaNs included)
# unchanged. The only imports are msvcrt.dll and user32.dll, which every
# Windows machine has. The same sources give the same bytes wherever and
# whenever they are built: the PE header's and the export directory's time
# stamps are 0 (the PE checksum, computed over the file, then follows its
# contents alone), and no path of the build machine is compiled in.
include_guard(GLOBAL)
if(CMAKE_VERSION VERSION_LESS 3.21)
  message(FATAL_ERROR "the se_sdk2 framework needs CMake 3.21 or later")
endif()

set(SE_SDK2_DIR ${CMAKE_CURRENT_LIST_DIR})

add_library(se_sdk2_protocol INTERFACE)
target_include_directories(se_sdk2_protocol INTERFACE ${SE_SDK2_DIR})
target_compile_features(se_sdk2_protocol INTERFACE cxx_std_20)
add_library(se_sdk2::protocol ALIAS se_sdk2_protocol)

add_library(se_sdk2_bases STATIC
    ${SE_SDK2_DIR}/SEGUI_base.cpp
    ${SE_SDK2_DIR}/SEModule_base.cpp
    ${SE_SDK2_DIR}/SEPin.cpp)
target_link_libraries(se_sdk2_bases PUBLIC se_sdk2::protocol)
add_library(se_sdk2::bases ALIAS se_sdk2_bases)

if(WIN32)
  add_library(se_sdk2_platform STATIC ${SE_SDK2_DIR}/platform/platform_windows.cpp)
  target_link_libraries(se_sdk2_platform PUBLIC se_sdk2::protocol user32)
else()
  add_library(se_sdk2_platform STATIC ${SE_SDK2_DIR}/platform/platform_linux.cpp)
  target_link_libraries(se_sdk2_platform PUBLIC se_sdk2::protocol ${CMAKE_DL_LIBS})
endif()
add_library(se_sdk2::platform ALIAS se_sdk2_platform)

add_library(se_sdk2_framework INTERFACE)
target_link_libraries(se_sdk2_framework INTERFACE se_sdk2::bases se_sdk2::platform)
add_library(se_sdk2::framework ALIAS se_sdk2_framework)

function(se_add_module target)
  cmake_parse_arguments(PARSE_ARGV 1 module "NO_FRAMEWORK" "DEF;OUTPUT_NAME;OUTPUT_DIRECTORY" "SOURCES;LIBRARIES")
  if(NOT module_SOURCES)
    message(FATAL_ERROR "se_add_module(${target}): no SOURCES")
  endif()
  if(module_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "se_add_module(${target}): unknown arguments ${module_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT module_OUTPUT_NAME)
    set(module_OUTPUT_NAME ${target})
  endif()
  if(NOT module_OUTPUT_DIRECTORY)
    set(module_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  if(module_DEF)
    get_filename_component(module_DEF ${module_DEF} ABSOLUTE)
  endif()

  add_library(${target} MODULE ${module_SOURCES})
  if(NOT module_NO_FRAMEWORK)
    # The framework's own sources, after the module's.
    get_target_property(bases se_sdk2_bases SOURCES)
    get_target_property(platform se_sdk2_platform SOURCES)
    target_sources(${target} PRIVATE ${bases} ${platform})
  endif()
  target_link_libraries(${target} PRIVATE se_sdk2::protocol ${module_LIBRARIES})
  if(NOT module_NO_FRAMEWORK AND NOT WIN32)
    target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
  endif()
  set_target_properties(${target} PROPERTIES
      OUTPUT_NAME ${module_OUTPUT_NAME}
      PREFIX ""
      LIBRARY_OUTPUT_DIRECTORY ${module_OUTPUT_DIRECTORY}
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)

  if(WIN32)
    set_target_properties(${target} PROPERTIES SUFFIX ".sem")
    target_compile_options(${target} PRIVATE
        -mincoming-stack-boundary=2 -msse2 -mfpmath=sse
        -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
        -ffunction-sections -fdata-sections -mpreferred-stack-boundary=2
        -fomit-frame-pointer
        -ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=
        -ffile-prefix-map=${SE_SDK2_DIR}/=)
    target_link_options(${target} PRIVATE
        -static -nostartfiles -nodefaultlibs -Wl,--entry,_DllMain@12 -Wl,--gc-sections -s
        -Wl,--no-insert-timestamp)
    if(module_DEF)
      target_link_options(${target} PRIVATE ${module_DEF})
      set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${module_DEF})
    endif()
    target_link_libraries(${target} PRIVATE user32 msvcrt gcc)
  else()
    if(module_DEF)
      # The version script: the EXPORTS section's names global, all else local.
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${module_DEF})
      file(STRINGS ${module_DEF} lines)
      set(in_exports FALSE)
      set(globals "")
      foreach(line IN LISTS lines)
        string(REGEX REPLACE ";.*$" "" line "${line}")
        string(STRIP "${line}" line)
        if(line MATCHES "^EXPORTS$")
          set(in_exports TRUE)
        elseif(line MATCHES "^(LIBRARY|NAME|SECTIONS|HEAPSIZE|STACKSIZE|VERSION)( |$)")
          set(in_exports FALSE)
        elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)")
          string(APPEND globals "        ${CMAKE_MATCH_1};\n")
        endif()
      endforeach()
      if(globals STREQUAL "")
        message(FATAL_ERROR "se_add_module(${target}): ${module_DEF} names no exports")
      endif()
      set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
      file(CONFIGURE OUTPUT ${map} CONTENT "{\n    global:\n${globals}    local:\n        *;\n};\n")
      target_link_options(${target} PRIVATE -Wl,--version-script=${map})
      set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
    endif()
  endif()
endfunction()
