# A cross build takes CLI11 and nlohmann/json, header-only, from the build
# machine. Only their own directories are put on the include path: the build
# machine's /usr/include would hide the target's C library.
set(KESTOR_HOST_INCLUDE /usr/include CACHE PATH "Where the build machine's CLI/ and nlohmann/ are")
set(staged ${CMAKE_BINARY_DIR}/host-include)
foreach(dir CLI nlohmann)
  if(NOT EXISTS ${KESTOR_HOST_INCLUDE}/${dir})
    message(FATAL_ERROR "${KESTOR_HOST_INCLUDE}/${dir} not found (libcli11-dev, nlohmann-json3-dev)")
  endif()
  file(MAKE_DIRECTORY ${staged})
  file(CREATE_LINK ${KESTOR_HOST_INCLUDE}/${dir} ${staged}/${dir} SYMBOLIC)
endforeach()

add_library(CLI11::CLI11 INTERFACE IMPORTED)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${staged})

# cpp-httplib as one header, the whole library in it: Debian ships it split,
# its code in a Linux shared library, so scripts/install-deps unpacks the
# header from the source package of the same version.
set(KESTOR_HTTPLIB_SOURCE /usr/local/src/cpp-httplib CACHE PATH "Where the whole httplib.h is")
if(NOT EXISTS ${KESTOR_HTTPLIB_SOURCE}/httplib.h)
  message(FATAL_ERROR "${KESTOR_HTTPLIB_SOURCE}/httplib.h not found (scripts/install-deps)")
endif()
file(CREATE_LINK ${KESTOR_HTTPLIB_SOURCE}/httplib.h ${staged}/httplib.h SYMBOLIC)
add_library(httplib::httplib INTERFACE IMPORTED)
set_target_properties(httplib::httplib PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${staged})
