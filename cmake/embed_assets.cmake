# Writes OUTPUT, a C++ file that holds each file of ASSETS as a string
# returned by the function of the same place in FUNCTIONS, declared in
# HEADER: for the session picture, session_picture.js as
# SessionPictureScript(); for the try page, try_page.js as TryPageScript().
#   cmake -DOUTPUT=out.cpp -DHEADER=reports/session_picture.h
#         "-DASSETS=a.js;a.css" "-DFUNCTIONS=AScript;AStyle" -P embed_assets.cmake
set(text "// Made by cmake/embed_assets.cmake from the page files; do not edit.\n")
string(APPEND text "#include \"${HEADER}\"\n\n")
list(LENGTH ASSETS count)
list(LENGTH FUNCTIONS function_count)
if(NOT count EQUAL function_count)
  message(FATAL_ERROR "embed_assets: ${count} ASSETS but ${function_count} FUNCTIONS")
endif()
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  list(GET ASSETS ${i} asset)
  list(GET FUNCTIONS ${i} function)
  file(READ ${asset} content)
  if(content MATCHES "\\)asset\"")
    message(FATAL_ERROR "${asset} holds the end of a raw string, )asset\"")
  endif()
  # A page that holds it inline ends the element at the first "</script" or
  # "</style".
  string(TOLOWER "${content}" lowered)
  if(asset MATCHES "\\.(js|css)$" AND lowered MATCHES "</(script|style)")
    message(FATAL_ERROR "${asset} holds an end tag of its element")
  endif()
  string(APPEND text "const char* ${function}() {\n    return R\"asset(${content})asset\";\n}\n\n")
endforeach()
file(WRITE ${OUTPUT}.new "${text}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
