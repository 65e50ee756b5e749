# SPDX-License-Identifier: MIT
# The installed package: CMake config files, pkg-config file and man pages.
include(CMakePackageConfigHelpers)

set(AIMLINK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/aimlink)
install(EXPORT aimlinkTargets NAMESPACE aimlink:: DESTINATION ${AIMLINK_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/aimlinkConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/aimlinkConfig.cmake INSTALL_DESTINATION ${AIMLINK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/aimlinkConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/aimlinkConfig.cmake ${PROJECT_BINARY_DIR}/aimlinkConfigVersion.cmake
        DESTINATION ${AIMLINK_CMAKE_DIR} COMPONENT development)

file(RELATIVE_PATH AIMLINK_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/aimlink.pc.in ${PROJECT_BINARY_DIR}/aimlink.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/aimlink.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

install(FILES ${PROJECT_SOURCE_DIR}/docs/man/aimhead.1 ${PROJECT_SOURCE_DIR}/docs/man/aimsim.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/aimlink.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT development)
# `man startPTZ` and the like lead to the one page that documents them all.
foreach(function aimlink_new aimlink_free aimlink_set_baud aimlink_set_initialise aimlink_set_reply_timeout
                 aimlink_set_flow_control aimlink_set_handler aimlink_open aimlink_close aimlink_move aimlink_home
                 aimlink_initialise aimlink_wait_written aimlink_wait_arrived aimlink_wait_link aimlink_position
                 aimlink_target aimlink_link aimlink_link_name aimlink_device aimlink_last_error aimlink_last_errno aimlink_event_fd
                 aimlink_reachable aimlink_version aimlink_strerror startPTZ stopPTZ readyPTZ donePTZ reportedPTZ
                 waitReadyPTZ waitDonePTZ waitLinkPTZ linkPTZ devicePTZ setPanTilt homePTZ initPTZ setZoom getPTZ
                 hexPrint watchPTZ)
  file(WRITE ${PROJECT_BINARY_DIR}/man3/${function}.3 ".so man3/aimlink.3\n")
  install(FILES ${PROJECT_BINARY_DIR}/man3/${function}.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT development)
endforeach()
