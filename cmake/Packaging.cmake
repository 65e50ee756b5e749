# SPDX-License-Identifier: MIT
# Debian packages, one per install component:
#   runtime     -> libaimlink1      the shared library
#   development -> libaimlink-dev   headers, link and static libraries, module objects, pkg-config and CMake files,
#                                   aimlink(3)
#   tools       -> aimlink-tools    aimhead and aimsim with their manual pages
#   python      -> python3-aimlink  the Python package, for every architecture
# Build them from a tree configured with the install prefix /usr (the presets
# package, cross-arm64 and cross-armhf): `cpack --config <build>/CPackConfig.cmake`.
# scripts/check-packages builds and checks them.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
# Each package has its own summary, the first line of its description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGE_VENDOR "The aimlink developers")
set(CPACK_PACKAGE_CONTACT "aimlink maintainers <maintainers@aimlink.invalid>")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the shared library of this same build: dpkg-shlibdeps finds
# it there and takes its dependency from the package that ships it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# A cross build packages for its target, not for the machine that builds it.
if(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
endif()

set(AIMLINK_PACKAGE_VERSION_DEPENDENCY "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libaimlink${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_MULTIARCH same)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client library for a serial pan-tilt camera head
libaimlink drives a motorised pan-tilt camera head on a Linux serial line:
it opens the port, keeps the link to the head and queues moves, homes and
initialisations, each handle with its own watcher thread. Failures come back
as return codes with a message; nothing ends the calling process.")
# The library's shlibs file, so that programs built against it depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The linker cache is refreshed through dpkg's ldconfig trigger. Scripts of
# our own keep CPack from writing ones that call ldconfig directly.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "")
foreach(file triggers postinst postrm)
  configure_file(${PROJECT_SOURCE_DIR}/dist/debian/libaimlink.${file} ${PROJECT_BINARY_DIR}/debian/${file} COPYONLY)
  list(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/${file})
endforeach()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libaimlink-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_MULTIARCH same)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} ${AIMLINK_PACKAGE_VERSION_DEPENDENCY}")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "client library for a serial pan-tilt camera head (development files)
libaimlink drives a motorised pan-tilt camera head on a Linux serial line.
This package holds what programs that use it are built with: the C header,
the shared and static libraries, the relocatable module objects aimlink.o
and serial.o, pkg-config and CMake package files and the manual page
aimlink(3).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME aimlink-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool and simulator for a serial pan-tilt camera head
aimhead moves a motorised pan-tilt camera head on a serial line to the given
pan and tilt and waits until the head reports it there. aimsim plays the head
on a pseudo-terminal, with faults on request, so that programs can be tried
without the hardware.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-aimlink)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3, ${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python interface to the client library for a serial pan-tilt camera head
The aimlink package drives a motorised pan-tilt camera head on a serial line
from Python: with aimlink.Head(device) as head: head.move(pan, tilt). It is
pure Python over libaimlink.so.1 through ctypes, so it serves every Python 3
version; failures raise exceptions, and the library's messages go to the
logger aimlink.")

# Debian wants a copyright file and a change log in each package's
# documentation directory, manual pages compressed and no debugging
# information outside debug packages. Only the packages get them: a plain
# `cmake --install` leaves them out.
set(AIMLINK_CHANGELOG ${PROJECT_SOURCE_DIR}/dist/debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${AIMLINK_CHANGELOG})
execute_process(COMMAND gzip -9n OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz INPUT_FILE ${AIMLINK_CHANGELOG}
                COMMAND_ERROR_IS_FATAL ANY)
foreach(component IN ITEMS runtime development tools python)
  string(TOUPPER ${component} upper)
  set(package_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/dist/debian/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${package_doc} COMPONENT ${component} EXCLUDE_FROM_ALL)
  install(CODE "set(AIMLINK_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
                set(AIMLINK_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
                set(AIMLINK_STRIP \"${CMAKE_STRIP}\")
                include(\"${CMAKE_CURRENT_LIST_DIR}/DebianInstall.cmake\")"
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/dist/udev/60-aimlink.rules
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_TOOLS_PACKAGE_NAME}/examples COMPONENT tools
        EXCLUDE_FROM_ALL)

include(CPack)
