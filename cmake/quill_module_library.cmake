# How a module DLL is compiled and linked for the host: the shipped
# Quillmark.sem, and the flat floor the benchmarks compare it with, share
# these flags, so that the two differ in their code alone.
#
# quill_module_library(TARGET DEF_FILE): small and self-contained. Nothing of
# the C++ runtime's exception support is used, unused functions and data are
# dropped, symbols are stripped. No default libraries: the C++ runtime
# library is not searched, so a function that would need it (a throwing
# allocation, say) fails the link instead of pulling in the runtime's
# exception machinery. No start files: DllMain itself is the entry point, so
# loading runs no code of the runtime's either (no static constructors: the
# sources must have none that matter). DEF_FILE names the exports.
#
# The same sources give the same bytes wherever and whenever they are built:
# the PE header's and the export directory's time stamps are 0 (the PE
# checksum, computed over the file, then follows its contents alone), and
# no path of the build machine is compiled in.
function(quill_module_library target def_file)
  set_target_properties(${target} PROPERTIES SUFFIX ".sem")
  target_compile_options(${target} PRIVATE
      -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
      -ffunction-sections -fdata-sections -mpreferred-stack-boundary=2
      -fomit-frame-pointer
      -ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
  target_link_options(${target} PRIVATE
      -nostartfiles -nodefaultlibs -Wl,--entry,_DllMain@12
      -Wl,--gc-sections -Wl,--no-insert-timestamp -s ${def_file})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${def_file})
  target_link_libraries(${target} PRIVATE user32 msvcrt gcc)
endfunction()
