# What `cmake --install` puts under the prefix: the console, the client library with its public
# headers and a CMake package for find_package(wsclient), and the development web service.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(WSCLIENT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/wsclient)

if(TARGET wsconsole)
  install(TARGETS wsconsole RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT console)
endif()

# wsclient is static, so a program that links it also needs what it links privately: the
# console's writes (wsconsoleio) go into the export set as a link-only dependency, without
# headers of their own.
install(TARGETS wsclient wsconsoleio
  EXPORT wsclientTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/wsclient)
install(FILES
  ${PROJECT_SOURCE_DIR}/client/include/WebServiceClient.h
  ${PROJECT_SOURCE_DIR}/client/include/FieldMap.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/wsclient COMPONENT development)
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

install(PROGRAMS ${PROJECT_SOURCE_DIR}/devserver/devserver.py
  DESTINATION ${CMAKE_INSTALL_DATADIR}/wsconsole COMPONENT devserver)
# The package beside its launcher: its modules and the inspector's static files.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/devserver/wsdevserver
  DESTINATION ${CMAKE_INSTALL_DATADIR}/wsconsole COMPONENT devserver
  FILES_MATCHING PATTERN "*.py" REGEX "/static/[^/]+$"
  PATTERN "__pycache__" EXCLUDE)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/devserver/samples
  DESTINATION ${CMAKE_INSTALL_DATADIR}/wsconsole COMPONENT devserver)
