# The distribution's hardening, as every Debian package of the architecture
# being built gets it: dpkg-buildflags with every hardening feature
# (stack protector, fortified libc calls, format checks, read-only
# relocations bound at start, PIE). The optimisation and debug levels stay
# with the build type.
find_program(AVBOX_DPKG_BUILDFLAGS dpkg-buildflags REQUIRED)
set(buildflags_env DEB_BUILD_MAINT_OPTIONS=hardening=+all)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  list(APPEND buildflags_env DEB_HOST_ARCH=armhf)
endif()

function(avbox_buildflags var out)
  execute_process(COMMAND env ${buildflags_env} ${AVBOX_DPKG_BUILDFLAGS} --get ${var}
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${var} failed")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^-(g|O.*)$")
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

avbox_buildflags(CPPFLAGS cppflags)
avbox_buildflags(CXXFLAGS cxxflags)
avbox_buildflags(LDFLAGS ldflags)

# Fortified calls need an optimised build (glibc warns otherwise, and the
# warning is an error here), and the sanitizers check the same calls
# themselves: those builds leave fortify out.
set(fortify_flags ${cppflags})
list(FILTER fortify_flags INCLUDE REGEX "^-D_FORTIFY_SOURCE")
list(FILTER cppflags EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
if(NOT AVBOX_SANITIZE)
  add_compile_options("$<$<NOT:$<CONFIG:Debug>>:${fortify_flags}>")
endif()
add_compile_options(${cppflags} ${cxxflags})
add_link_options(${ldflags})

# dpkg-buildflags maps the source folder to "."; the build folder too, so
# that where a tree is built leaves no trace in the programs (and two build
# folders of one commit make the same bytes). The last map that matches a
# path wins, and a build folder often lies inside the source folder.
add_compile_options(-ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
