# Writes the page at INPUT into OUTPUT as a C++ raw string literal.
file(READ "${INPUT}" page)
set(delimiter "KESTOR_PAGE")
string(FIND "${page}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw string's end )${delimiter}\"")
endif()
file(WRITE "${OUTPUT}"
  "// Made from hub/page.html at build time.\n"
  "#pragma once\n#include <string_view>\n\nnamespace kest::hub {\n\n"
  "inline constexpr std::string_view StatusPage = R\"${delimiter}(${page})${delimiter}\";\n\n"
  "}  // namespace kest::hub\n")
