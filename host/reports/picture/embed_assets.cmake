# Writes OUTPUT, a C++ file that holds each file of ASSETS as a string:
# session_picture.js as SessionPictureScript(), session_picture.css as
# SessionPictureStyle().
set(text "// Made by embed_assets.cmake from the files beside it; do not edit.\n")
string(APPEND text "#include \"session_picture.h\"\n\n")
foreach(asset ${ASSETS})
  file(READ ${asset} content)
  if(content MATCHES "\\)asset\"")
    message(FATAL_ERROR "${asset} holds the end of a raw string, )asset\"")
  endif()
  # The page ends the element at the first "</script" or "</style".
  string(TOLOWER "${content}" lowered)
  if(lowered MATCHES "</(script|style)")
    message(FATAL_ERROR "${asset} holds an end tag of its element")
  endif()
  if(asset MATCHES "\\.js$")
    set(function SessionPictureScript)
  else()
    set(function SessionPictureStyle)
  endif()
  string(APPEND text "const char* ${function}() {\n    return R\"asset(${content})asset\";\n}\n\n")
endforeach()
file(WRITE ${OUTPUT}.new "${text}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
