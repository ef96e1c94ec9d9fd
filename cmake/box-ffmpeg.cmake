# The box's FFmpeg: static libavformat, libavcodec and libavutil with only
# what avhub's clip playback uses, built from Debian's FFmpeg source by
# scripts/box-ffmpeg.sh when the build folder is configured. A build is kept
# in AVBOX_FFMPEG_STORE and used again while the source version, the
# configure flags and the compiler stay the same; several build folders may
# share one store.
#
# box_ffmpeg (avhub, and through avhub_core the tests and fuzz targets of
# its code) links these; boxsim, the demo and the benchmark keep Debian's
# full shared FFmpeg (PkgConfig::FFMPEG). The two must never meet in one
# program (two libavformats, one set of symbols): each carries the property
# AVBOX_FFMPEG with its own value, and CMake refuses to generate a target
# that gets both.
set(AVBOX_FFMPEG_STORE "${CMAKE_BINARY_DIR}/box-ffmpeg" CACHE PATH
    "Where the box's FFmpeg source and builds are kept (may be shared by build folders)")

set(box_ffmpeg_script ${CMAKE_SOURCE_DIR}/scripts/box-ffmpeg.sh)
set(box_ffmpeg_args --store ${AVBOX_FFMPEG_STORE} --cc ${CMAKE_C_COMPILER})
if(CMAKE_CROSSCOMPILING)
  if(NOT CMAKE_LIBRARY_ARCHITECTURE)
    message(FATAL_ERROR "box FFmpeg: a cross build needs CMAKE_LIBRARY_ARCHITECTURE (the target triple)")
  endif()
  list(APPEND box_ffmpeg_args --cross ${CMAKE_LIBRARY_ARCHITECTURE}
       --ar ${CMAKE_AR} --nm ${CMAKE_NM} --ranlib ${CMAKE_RANLIB})
  if(CMAKE_SYSROOT)
    list(APPEND box_ffmpeg_args --sysroot ${CMAKE_SYSROOT})
  endif()
endif()
if(CMAKE_C_COMPILER_LAUNCHER)
  list(JOIN CMAKE_C_COMPILER_LAUNCHER " " launcher)
  list(APPEND box_ffmpeg_args --launcher ${launcher})
endif()

execute_process(COMMAND bash ${box_ffmpeg_script} ${box_ffmpeg_args}
                OUTPUT_VARIABLE box_ffmpeg_prefix OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE box_ffmpeg_rc)
if(NOT box_ffmpeg_rc EQUAL 0 OR NOT EXISTS ${box_ffmpeg_prefix}/lib/libavformat.a)
  message(FATAL_ERROR "box FFmpeg: scripts/box-ffmpeg.sh failed (${box_ffmpeg_rc})")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${box_ffmpeg_script})
# A store outside this build folder is a cache: the build folder links its
# own copy, so clearing the store never breaks a configured tree.
cmake_path(IS_PREFIX CMAKE_BINARY_DIR ${box_ffmpeg_prefix} NORMALIZE box_ffmpeg_inside)
if(NOT box_ffmpeg_inside)
  cmake_path(GET box_ffmpeg_prefix FILENAME name)
  set(copy ${CMAKE_BINARY_DIR}/box-ffmpeg/${name})
  if(NOT EXISTS ${copy}/.complete)
    file(REMOVE_RECURSE ${copy})
    file(COPY ${box_ffmpeg_prefix}/ DESTINATION ${copy})
  endif()
  set(box_ffmpeg_prefix ${copy})
endif()
message(STATUS "box FFmpeg: ${box_ffmpeg_prefix}")

# One imported library per FFmpeg library, each with the system libraries
# its .pc file names. Those are linked only where a symbol is used: libatomic
# is named whenever the compiler has it, but neither amd64 nor armv7 need it
# for the atomics FFmpeg uses, and the box has no use for the package.
set(box_ffmpeg_deps "")
foreach(lib avutil avcodec avformat)
  file(STRINGS ${box_ffmpeg_prefix}/lib/pkgconfig/lib${lib}.pc libs_line REGEX "^Libs:")
  string(REGEX MATCHALL "-l[^ ]+" sys_libs "${libs_line}")
  list(REMOVE_ITEM sys_libs -l${lib})
  set(link ${box_ffmpeg_deps})
  if(sys_libs)
    list(APPEND link "-Wl,--push-state,--as-needed" ${sys_libs} "-Wl,--pop-state")
  endif()
  add_library(BoxFFmpeg::${lib} STATIC IMPORTED)
  set_target_properties(BoxFFmpeg::${lib} PROPERTIES
    IMPORTED_LOCATION ${box_ffmpeg_prefix}/lib/lib${lib}.a
    INTERFACE_INCLUDE_DIRECTORIES ${box_ffmpeg_prefix}/include
    INTERFACE_LINK_LIBRARIES "${link}")
  set(box_ffmpeg_deps BoxFFmpeg::${lib})
endforeach()

add_library(box_ffmpeg INTERFACE)
target_link_libraries(box_ffmpeg INTERFACE BoxFFmpeg::avformat)

set_property(TARGET box_ffmpeg PROPERTY INTERFACE_AVBOX_FFMPEG box)
set_property(TARGET PkgConfig::FFMPEG PROPERTY INTERFACE_AVBOX_FFMPEG debian)
foreach(t box_ffmpeg PkgConfig::FFMPEG)
  set_property(TARGET ${t} APPEND PROPERTY COMPATIBLE_INTERFACE_STRING AVBOX_FFMPEG)
endforeach()
