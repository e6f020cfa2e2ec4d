# cmake --install: the driver library with its public headers, a CMake package
# (find_package(Kestor) gives Kestor::Driver), a pkg-config file, the programs
# with their manual pages, and the Qt Designer plugin where it is built.
# On Windows: the folder of the integrators' archive (cpack makes the zip).
if(WIN32)
  include(cmake/WindowsArchive.cmake)
  return()
endif()
include(CMakePackageConfigHelpers)

set(KESTOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestor)

install(TARGETS kestor EXPORT KestorTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES driver/KestorFPrt.h driver/KestTypes.h driver/KestRecords.h driver/kestor_c.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestor)
install(EXPORT KestorTargets NAMESPACE Kestor:: DESTINATION ${KESTOR_CMAKE_DIR})

configure_package_config_file(cmake/KestorConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/KestorConfig.cmake
                              INSTALL_DESTINATION ${KESTOR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KestorConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KestorConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/KestorConfigVersion.cmake
        DESTINATION ${KESTOR_CMAKE_DIR})

# Relative to the .pc file, so that a prefix given to cmake --install holds.
file(RELATIVE_PATH KESTOR_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(cmake/kestor.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kestor.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kestor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(kestor_programs kestorctl kestor-emu kestor-hub)
if(TARGET kestor-test)
  list(APPEND kestor_programs kestor-test)
endif()
install(TARGETS ${kestor_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
list(TRANSFORM kestor_programs PREPEND docs/man/ OUTPUT_VARIABLE pages)
list(TRANSFORM pages APPEND .1)
install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The plugin goes where Qt Designer looks: Qt's plugins/designer folder, taken
# relative to the prefix (lib/<triplet>/qt6/plugins on Debian).
if(TARGET kestor-designer)
  install(TARGETS kestor-designer LIBRARY DESTINATION ${QT6_INSTALL_PLUGINS}/designer)
endif()
