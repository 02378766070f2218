# RapidJSON for a cross build. Debian's own config names /usr/include, which must not reach a
# cross compiler: the build machine's C library headers would come before MinGW's. The
# header-only library is copied from there into a folder of its own in the build tree.
set(RAPIDJSON_SOURCE_DIR /usr/include/rapidjson CACHE PATH "Debian's RapidJSON headers")
if(NOT EXISTS ${RAPIDJSON_SOURCE_DIR}/rapidjson.h)
  set(RapidJSON_FOUND FALSE)
  set(RapidJSON_NOT_FOUND_MESSAGE "no RapidJSON headers in ${RAPIDJSON_SOURCE_DIR} (package rapidjson-dev)")
  return()
endif()
file(COPY ${RAPIDJSON_SOURCE_DIR} DESTINATION ${CMAKE_BINARY_DIR}/rapidjson-include)
set(RAPIDJSON_INCLUDE_DIRS ${CMAKE_BINARY_DIR}/rapidjson-include)
message(STATUS "RapidJSON found. Headers: ${RAPIDJSON_SOURCE_DIR}, copied to ${RAPIDJSON_INCLUDE_DIRS}")
