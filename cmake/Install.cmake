# What `cmake --install` puts under the prefix: the console, the client library with its public
# headers and a CMake package for find_package(wsclient), and the development web service.
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
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/wsclient)
install(FILES
  ${PROJECT_SOURCE_DIR}/client/include/WebServiceClient.h
  ${PROJECT_SOURCE_DIR}/client/include/FieldMap.h
  ${PROJECT_SOURCE_DIR}/client/include/WebServiceReport.h
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
install(DIRECTORY ${PROJECT_SOURCE_DIR}/devserver/samples
  DESTINATION ${CMAKE_INSTALL_DATADIR}/wsconsole COMPONENT devserver)
