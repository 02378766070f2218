# What `cmake --install` puts under the prefix, in two components that cpack makes into two
# Debian packages (cmake/Package.cmake):
#   console      the console, the development web service as the command wsconsole-devserver
#                with its sample images, both man pages and the package's documents;
#   development  the client library with its public headers and a CMake package for
#                find_package(wsclient).
# Debian keeps libraries and their CMake packages in the multiarch folder (lib/x86_64-linux-gnu),
# which GNUInstallDirs picks only for the prefix /usr: the package installs there whatever the
# prefix of `cmake --install`, and find_package searches it under any prefix.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(WSCLIENT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/wsclient)

if(TARGET wsconsole)
  install(TARGETS wsconsole RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT console)
endif()

# The library stands alone: it links libcurl and nothing of the console, whose writes reach it
# only through the report function that the console sets at start.
install(TARGETS wsclient
  EXPORT wsclientTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Users write #include <wsclient/WebServiceClient.h>, as in the source tree.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/client/include/wsclient
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.h")
install(EXPORT wsclientTargets
  NAMESPACE wsclient::
  DESTINATION ${WSCLIENT_CMAKE_DIR}
  COMPONENT development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/wsclientConfig.cmake.in
  ${PROJECT_BINARY_DIR}/wsclientConfig.cmake
  INSTALL_DESTINATION ${WSCLIENT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/wsclientConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/wsclientConfig.cmake
  ${PROJECT_BINARY_DIR}/wsclientConfigVersion.cmake
  DESTINATION ${WSCLIENT_CMAKE_DIR} COMPONENT development)

# The development web service keeps its folder (the launcher finds its package and samples
# beside its own real path) in /usr/share/wsconsole/devserver; /usr/bin/wsconsole-devserver is
# a relative link to the launcher, so the tree can move with its prefix.
set(WSCONSOLE_DATA_DIR ${CMAKE_INSTALL_DATADIR}/wsconsole)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/devserver
  DESTINATION ${WSCONSOLE_DATA_DIR} COMPONENT console
  PATTERN __pycache__ EXCLUDE
  PATTERN "*.pyc" EXCLUDE)
# install(DIRECTORY) makes every file 0644: the launcher is the one program among them.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/devserver/devserver.py
  DESTINATION ${WSCONSOLE_DATA_DIR}/devserver COMPONENT console)
file(RELATIVE_PATH devserver_link_target
  /${CMAKE_INSTALL_BINDIR} /${WSCONSOLE_DATA_DIR}/devserver/devserver.py)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/links)
file(CREATE_LINK ${devserver_link_target} ${PROJECT_BINARY_DIR}/links/wsconsole-devserver SYMBOLIC)
install(FILES ${PROJECT_BINARY_DIR}/links/wsconsole-devserver
  DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT console)
# The sample images also where earlier packages had them.
file(CREATE_LINK devserver/samples ${PROJECT_BINARY_DIR}/links/samples SYMBOLIC)
install(FILES ${PROJECT_BINARY_DIR}/links/samples DESTINATION ${WSCONSOLE_DATA_DIR} COMPONENT console)

# Licence, history and manual: the packages' documents go to /usr/share/doc/<package> in the
# form lintian expects (a DEP-5 copyright file, a changelog and man pages compressed by gzip -9n).
if(UNIX)
  find_program(GZIP_COMMAND gzip REQUIRED)
  set(compressed)
  foreach(page wsconsole.1 wsconsole-devserver.1)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${GZIP_COMMAND} -9nc ${PROJECT_SOURCE_DIR}/man/${page} > ${PROJECT_BINARY_DIR}/man/${page}.gz
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page} VERBATIM)
    list(APPEND compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
    install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
            COMPONENT console)
  endforeach()
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/debian
    COMMAND ${GZIP_COMMAND} -9nc ${CMAKE_CURRENT_LIST_DIR}/debian/changelog > ${PROJECT_BINARY_DIR}/debian/changelog.gz
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog VERBATIM)
  add_custom_target(wsconsole_documents ALL
    DEPENDS ${compressed} ${PROJECT_BINARY_DIR}/debian/changelog.gz)
  set(components console development)
  set(packages wsconsole libwsclient-dev)
  foreach(component package IN ZIP_LISTS components packages)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endforeach()
endif()
