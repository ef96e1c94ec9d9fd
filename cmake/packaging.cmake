# Install rules and Debian packages (cpack -G DEB in a build folder):
#   avbox      the box's programs (what a box carries)
#   avbox-dev  the socket/packet library (both revisions) and its headers
#   avbox-sim  the box simulator, the demo driver and its namespace runner:
#              stand-ins for a bench PC, never for the box
include(GNUInstallDirs)

install(TARGETS avhub encprobe decprobe ctlprobe tonecue launcher panectl blendset
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT box)

# Debian's multiarch folder, so the armhf and native -dev packages can sit
# side by side.
set(avbox_libdir lib)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(avbox_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
install(TARGETS libsocket libsocket_early ARCHIVE DESTINATION ${avbox_libdir} COMPONENT dev)
install(FILES ${CMAKE_SOURCE_DIR}/common/libsocket/socket.h ${CMAKE_SOURCE_DIR}/common/libsocket/packet.h
              ${CMAKE_SOURCE_DIR}/common/libsocket/debug.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/libsocket COMPONENT dev)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/common/wire/include/wire
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

if(TARGET boxdemo AND TARGET nsrun)
  install(TARGETS boxsim boxdemo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
  install(TARGETS nsrun RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/avbox COMPONENT sim)
  install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/avbox-demo DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
  # The demo's capture names this dissector when the source tree is not there.
  install(FILES ${CMAKE_SOURCE_DIR}/dissector/avbox.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/avbox COMPONENT sim)
endif()

foreach(pair box:avbox dev:avbox-dev sim:avbox-sim)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 pkg)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${pkg}
          COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME avbox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "avbox maintainers")
set(CPACK_PACKAGE_CONTACT "avbox maintainers <maintainers@users.noreply.c-seed-e91a58dd.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# cpack would ask dpkg for the machine's own architecture; a cross build
# names its target's.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(CPACK_COMPONENTS_ALL box dev sim)

set(CPACK_DEBIAN_BOX_PACKAGE_NAME avbox)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME avbox-dev)
set(CPACK_DEBIAN_SIM_PACKAGE_NAME avbox-sim)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# Same headers on every architecture: the armhf and native ones co-install.
set(CPACK_DEBIAN_DEV_PACKAGE_MULTIARCH same)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "avbox (= ${PROJECT_VERSION}), ffmpeg, iproute2")
set(CPACK_COMPONENT_BOX_DESCRIPTION
    "media box user-space programs\navhub (the media controller), the audio codec test clients encprobe,\ndecprobe and ctlprobe, the prompt player tonecue, the launcher daemon,\npanectl and blendset.")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "media box socket and packet library (static) and headers\nlibsocket and libsocket_early, the two revisions of the socket endpoint,\npacket and time library the box's tools are built on, with the wire\nrecord headers.")
set(CPACK_COMPONENT_SIM_DESCRIPTION
    "media box simulator and demo, for bench PCs\nboxsim plays the box around avhub (codec servers, remote bridge,\nuser-interface application, quad display server); avbox-demo runs one\nwhole session of the box with the installed programs in private\nnamespaces. Not for the box itself.")
include(CPack)
