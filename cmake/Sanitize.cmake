# KESTOR_SANITIZE builds everything under the compiler's sanitizers, for the
# tests: "address,undefined" (AddressSanitizer with its leak check, and
# UndefinedBehaviorSanitizer) or "thread". Nothing recovers from a report: the
# program ends with an error, so a test that meets one fails. Every program of
# the build takes the runtime options and suppressions of SanitizerOptions.cpp,
# whoever runs it (ctest, a test that starts kestor-emu, a developer by hand).
set(KESTOR_SANITIZE "" CACHE STRING "Sanitizers to build with: address,undefined or thread")

if(KESTOR_SANITIZE)
  if(WIN32 OR MSVC)
    message(FATAL_ERROR "KESTOR_SANITIZE is for the Linux build")
  endif()
  if(NOT KESTOR_SANITIZE MATCHES "^(address|undefined|thread)(,(address|undefined|thread))*$")
    message(FATAL_ERROR "KESTOR_SANITIZE: address, undefined or thread, comma-separated")
  endif()
  if(KESTOR_SANITIZE MATCHES "thread" AND KESTOR_SANITIZE MATCHES "address")
    message(FATAL_ERROR "KESTOR_SANITIZE: thread does not go with address")
  endif()
  add_compile_options(-fsanitize=${KESTOR_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KESTOR_SANITIZE})
endif()

# Adds the runtime options to every program under Dir and its subfolders;
# called once all targets are made.
function(kestor_sanitize_programs Dir)
  get_property(targets DIRECTORY ${Dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/SanitizerOptions.cpp)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${Dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    kestor_sanitize_programs(${subdir})
  endforeach()
endfunction()
