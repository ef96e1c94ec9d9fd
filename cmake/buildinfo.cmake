# The version and build time the programs print. The build time is the time
# of the sources, not of the build (SOURCE_DATE_EPOCH: from the environment,
# else the last commit, else the newest changelog entry), so two builds of
# one commit are byte for byte the same.
set(AVBOX_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(NOT AVBOX_SOURCE_DATE_EPOCH)
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE AVBOX_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET RESULT_VARIABLE git_rc)
    if(NOT git_rc EQUAL 0)
      set(AVBOX_SOURCE_DATE_EPOCH "")
    endif()
    # A new commit configures again, so the time follows it.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --absolute-git-dir
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(git_dir AND EXISTS ${git_dir}/logs/HEAD)
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_dir}/logs/HEAD)
    endif()
  endif()
endif()
if(NOT AVBOX_SOURCE_DATE_EPOCH)
  execute_process(COMMAND dpkg-parsechangelog -l ${CMAKE_SOURCE_DIR}/packaging/changelog -S Timestamp
                  OUTPUT_VARIABLE AVBOX_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT AVBOX_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "no source date: set SOURCE_DATE_EPOCH, or build from a git checkout")
endif()
set(AVBOX_SOURCE_DATE_EPOCH ${AVBOX_SOURCE_DATE_EPOCH} CACHE INTERNAL "time of the sources (packaging reads it)")

# string(TIMESTAMP) reads the time from SOURCE_DATE_EPOCH. The texts have
# the compiler's __DATE__ and __TIME__ forms ("Mar  5 2024", "09:07:03").
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${AVBOX_SOURCE_DATE_EPOCH})
string(TIMESTAMP month "%b" UTC)
string(TIMESTAMP day "%d" UTC)
string(TIMESTAMP year "%Y" UTC)
string(TIMESTAMP AVBOX_BUILD_TIME "%H:%M:%S" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")
string(REGEX REPLACE "^0" " " day "${day}")
set(AVBOX_BUILD_DATE "${month} ${day} ${year}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/build_info.hpp.in ${CMAKE_BINARY_DIR}/generated/avbox/build_info.hpp @ONLY)
add_library(build_info INTERFACE)
target_include_directories(build_info INTERFACE ${CMAKE_BINARY_DIR}/generated)
