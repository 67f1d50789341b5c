# Writes a C++ header that holds page templates as string constants, so the
# service's built-in pages are the shipped templates themselves.
#   cmake -DOUTPUT=<header> -DPAGES=<Name=file;Name=file...> -P KelvaneEmbedPages.cmake
# Each page becomes `inline constexpr std::string_view <Name>` in
# kelvane::BuiltInPages, byte for byte, its $ placeholders included.

set(delimiter "KMX_PAGE")
set(text "#pragma once\n\n// Generated at build time from the page templates in Web/ by\n")
string(APPEND text "// cmake/KelvaneEmbedPages.cmake: edit the templates, not this file.\n\n")
string(APPEND text "#include <string_view>\n\nnamespace kelvane::BuiltInPages {\n")
foreach(page IN LISTS PAGES)
  string(REGEX MATCH "^([A-Za-z0-9_]+)=(.+)$" matched "${page}")
  if(NOT matched)
    message(FATAL_ERROR "KelvaneEmbedPages: '${page}' is not Name=file")
  endif()
  set(name "${CMAKE_MATCH_1}")
  set(file "${CMAKE_MATCH_2}")
  file(READ "${file}" content)
  string(FIND "${content}" ")${delimiter}\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "KelvaneEmbedPages: ${file} holds the text that ends the constant")
  endif()
  string(APPEND text "\ninline constexpr std::string_view ${name} = R\"${delimiter}(${content})${delimiter}\";\n")
endforeach()
string(APPEND text "\n}  // namespace kelvane::BuiltInPages\n")
# Rewritten only when it changes, so an unchanged template rebuilds nothing.
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
