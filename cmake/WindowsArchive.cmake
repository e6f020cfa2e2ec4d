# The Windows archive for integrators, kestor-VERSION-win64.zip (cpack in the
# Windows build folder): one flat folder as a till gets it, with the C
# interface's DLL, its import library and export list, the header, the
# programs, the Python module and the integrators' README.
install(TARGETS kestorctl kestor-hub kestor-c RUNTIME DESTINATION . ARCHIVE DESTINATION .)
install(FILES ${CMAKE_BINARY_DIR}/driver/kestor.def DESTINATION .)
install(FILES driver/kestor_c.h DESTINATION include)
install(FILES python/kestor.py DESTINATION python)
install(FILES docs/INTEGRATORS.md DESTINATION . RENAME README.md)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kestor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_PACKAGE_FILE_NAME kestor-${PROJECT_VERSION}-win64)
else()
  set(CPACK_PACKAGE_FILE_NAME kestor-${PROJECT_VERSION}-win32)
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
