# `cpack -G DEB` in a build folder makes two packages from the install components
# (cmake/Install.cmake), the way Debian splits a program from its library's development files:
#   wsconsole_<version>_<arch>.deb        the console and the development web service;
#   libwsclient-dev_<version>_<arch>.deb  the static client library, its headers, its CMake package.
# Both install under /usr. The version has no Debian revision: the project packages itself.
set(CPACK_PACKAGE_NAME wsconsole)
set(CPACK_PACKAGE_VENDOR "wsconsole developers")
# A placeholder on a domain reserved for examples, which reaches nobody and says so.
set(CPACK_PACKAGE_CONTACT "wsconsole developers <wsconsole@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY wsconsole)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

set(CPACK_COMPONENTS_ALL console development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE wsconsole)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps names the run-time packages of the libraries the console links: libcurl's
# package is libcurl4 on Debian 12 and libcurl4t64 on Debian 13.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Debian's form: a synopsis that is not a sentence, then lines of at most 80 characters that do
# not repeat it.
set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME wsconsole)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_DEPENDS "python3, python3-aiohttp")
# The inspector's previews of pictures; without Pillow it shows the pictures whole.
set(CPACK_DEBIAN_CONSOLE_PACKAGE_RECOMMENDS "python3-pil")
set(CPACK_DEBIAN_CONSOLE_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_CONSOLE_DESCRIPTION "interactive console for trying out a web service over HTTP
wsconsole greets the user, offers two canned calls from a French menu, asks
for the endpoint to be confirmed, sends one multipart HTTP POST with libcurl
and prints the text the server answers: a small JSON document as a text
field, or two image files as file fields.
.
The package also holds wsconsole-devserver, a development web service that
answers both calls with a plain-text report of what it received and shows
the requests in a page in the browser, with two sample images.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libwsclient-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# find_package(wsclient) finds libcurl along: the library links it publicly.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libcurl4-openssl-dev | libcurl-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SUGGESTS "cmake")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "static C++ client for multipart HTTP POSTs (wsconsole)
wsclient is a small static C++17 library built on libcurl. One call sends a
multipart form of text fields and files to a URL; another sends a body that
is already url-encoded. Both give back the text the server answers.
.
This package holds the static library, its headers (included as
<wsclient/WebServiceClient.h>) and a CMake package, so that
find_package(wsclient) and the target wsclient::wsclient work.")

include(CPack)
