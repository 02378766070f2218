# `cpack -G DEB` in a build folder: wsconsole_<version>_<arch>.deb, installed under /usr.
# Other generators (an archive for Windows, say) can share these settings.
set(CPACK_PACKAGE_NAME wsconsole)
set(CPACK_PACKAGE_VENDOR "wsconsole developers")
set(CPACK_PACKAGE_CONTACT "wsconsole developers <wsconsole@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Interactive console that sends canned multipart POSTs to a web service")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY wsconsole)
# One package with everything: the console, the client library for developers and the
# development web service. The DEB generator installs under /usr by default.
set(CPACK_DEB_COMPONENT_INSTALL OFF)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Interactive console that sends canned multipart POSTs to a web service.\n\
It also ships the static client library wsclient (headers and a CMake package for\n\
find_package(wsclient)) and a development web service with sample images in\n\
/usr/share/wsconsole.")
# dpkg-shlibdeps names the run-time packages of the libraries the console links (libcurl's
# package has changed names across Debian releases); python3 with aiohttp and werkzeug runs the
# development service (both packages carry these names on Debian 12 and 13).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-aiohttp, python3-werkzeug")
# Building against the installed library needs libcurl's headers.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libcurl4-openssl-dev | libcurl-dev, cmake")

include(CPack)
