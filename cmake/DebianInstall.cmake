# SPDX-License-Identifier: MIT
# Install script for the Debian packages: leaves what was just installed as
# Debian carries it. Debugging information goes out of the static library and
# the module objects (the shared library and programs are stripped whole by
# CPack), and the manual pages are compressed; man finds a page and the
# targets of its .so links with or without the .gz.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(GLOB objects "${root}/${AIMLINK_LIBDIR}/*.a" "${root}/${AIMLINK_LIBDIR}/*.o")
foreach(object IN LISTS objects)
  execute_process(COMMAND ${AIMLINK_STRIP} --strip-debug --remove-section=.comment ${object} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(GLOB_RECURSE pages "${root}/${AIMLINK_MANDIR}/man*/*.[1-9]")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
