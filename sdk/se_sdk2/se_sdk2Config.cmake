# The se_sdk2 package, straight from a checkout: find_package(se_sdk2) gives
# se_sdk2::protocol, se_sdk2::framework and se_add_module (se_sdk2.cmake),
# and SE_SDK2_ROOT, the checkout's folder. `./quill new` points a new
# module's presets at a copy of this package in the checkout's build tree,
# which includes this file and names the checkout's native semhost in
# SE_SDK2_SEMHOST.
get_filename_component(SE_SDK2_ROOT ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
include(${CMAKE_CURRENT_LIST_DIR}/se_sdk2.cmake)
set(se_sdk2_FOUND TRUE)
