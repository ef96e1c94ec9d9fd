# Install rules of the Debian packages, one install component each
# (scripts/make-debs.sh stages them with --prefix /usr and builds the
# packages):
#   box  avbox      the box's programs, their service units and manual pages
#   dev  avbox-dev  the socket/packet library (both revisions) and its headers
#   sim  avbox-sim  the box simulator, the demo driver and its namespace
#                   runner, the dissector: stand-ins for a bench PC, never
#                   for the box
# Service units and /etc files have the absolute places Debian 12 gives
# them; the rest follows the prefix.
include(GNUInstallDirs)

# Modes never depend on the installer's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(avbox_pkg ${CMAKE_SOURCE_DIR}/packaging)

# Debian's multiarch folder, so the armhf and native -dev packages can sit
# side by side.
set(avbox_libdir lib)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(avbox_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
# scripts/make-debs.sh names the packages' architecture from it.
set(AVBOX_MULTIARCH "${CMAKE_LIBRARY_ARCHITECTURE}" CACHE INTERNAL "multiarch triple of this build")

set(box_programs avhub encprobe decprobe ctlprobe tonecue launcher panectl blendset)
install(TARGETS ${box_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT box)
install(FILES ${avbox_pkg}/systemd/avhub.service ${avbox_pkg}/systemd/launcher.service
              ${avbox_pkg}/systemd/tonecue.service
        DESTINATION /lib/systemd/system COMPONENT box)
install(FILES ${avbox_pkg}/default/avhub DESTINATION /etc/default COMPONENT box)
install(PROGRAMS ${avbox_pkg}/avhub-stop DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/avbox COMPONENT box)
install(FILES ${avbox_pkg}/lintian/avbox DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT box)

install(TARGETS libsocket libsocket_early ARCHIVE DESTINATION ${avbox_libdir} COMPONENT dev)
install(FILES ${CMAKE_SOURCE_DIR}/common/libsocket/socket.h ${CMAKE_SOURCE_DIR}/common/libsocket/packet.h
              ${CMAKE_SOURCE_DIR}/common/libsocket/debug.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/libsocket COMPONENT dev)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/common/wire/include/wire
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

set(sim_programs)
if(TARGET boxdemo AND TARGET nsrun)
  set(sim_programs boxsim boxdemo avbox-demo)
  install(TARGETS boxsim boxdemo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
  install(TARGETS nsrun RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/avbox COMPONENT sim)
  install(PROGRAMS ${avbox_pkg}/avbox-demo DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
  # Wireshark's and tshark's global Lua plugins folder: they load it by
  # themselves (tshark -G folders names it).
  install(FILES ${CMAKE_SOURCE_DIR}/dissector/avbox.lua
          DESTINATION ${avbox_libdir}/wireshark/plugins COMPONENT sim)
endif()

# Manual pages and the changelog, compressed as Debian keeps them: gzip -9
# without name or time, so every build makes the same bytes.
set(doc_out ${CMAKE_BINARY_DIR}/packaging)
set(doc_files)
foreach(page ${box_programs} ${sim_programs})
  set(gz ${doc_out}/man1/${page}.1.gz)
  add_custom_command(OUTPUT ${gz}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${doc_out}/man1
                     COMMAND gzip -9nc ${avbox_pkg}/man/${page}.1 > ${gz}
                     DEPENDS ${avbox_pkg}/man/${page}.1 VERBATIM)
  list(APPEND doc_files ${gz})
  if(page IN_LIST box_programs)
    set(component box)
  else()
    set(component sim)
  endif()
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endforeach()
add_custom_command(OUTPUT ${doc_out}/changelog.gz
                   COMMAND gzip -9nc ${avbox_pkg}/changelog > ${doc_out}/changelog.gz
                   DEPENDS ${avbox_pkg}/changelog VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${doc_files} ${doc_out}/changelog.gz)

foreach(pair box:avbox dev:avbox-dev sim:avbox-sim)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 pkg)
  if(component STREQUAL sim AND NOT sim_programs)
    continue()
  endif()
  install(FILES ${avbox_pkg}/copyright ${doc_out}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${pkg}
          COMPONENT ${component})
endforeach()
