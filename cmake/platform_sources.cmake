# Which implementation of src/platform/ a build compiles: one folder per system, chosen here
# rather than by #ifdef through the program.
#
# POSIX systems share posix/; Linux adds its speed-ups (posix/linux.cpp), every other POSIX system
# gets the plain calls (posix/portable.cpp). RUNEL_POSIX_FALLBACKS builds the plain calls on Linux
# too, so that what macOS and the BSDs run is built and tested here.

if(NOT WIN32)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    option(RUNEL_POSIX_FALLBACKS "Build the plain POSIX calls instead of Linux's speed-ups" OFF)
  else()
    set(RUNEL_POSIX_FALLBACKS ON CACHE BOOL "Only Linux has the speed-ups" FORCE)
  endif()
endif()

# Sets `out` to the platform's source files below `root` (the top of the source tree).
function(runel_platform_sources out root)
  set(sources ${root}/src/platform/file_door.cpp)
  if(WIN32)
    list(APPEND sources
      ${root}/src/platform/windows/file_door.cpp
      ${root}/src/platform/windows/folder_door.cpp
      ${root}/src/platform/windows/memory.cpp
      ${root}/src/platform/windows/process_door.cpp
    )
  else()
    list(APPEND sources
      ${root}/src/platform/posix/cgroup_memory.cpp
      ${root}/src/platform/posix/file_door.cpp
      ${root}/src/platform/posix/folder_door.cpp
      ${root}/src/platform/posix/memory.cpp
      ${root}/src/platform/posix/process_door.cpp
    )
    if(RUNEL_POSIX_FALLBACKS)
      list(APPEND sources ${root}/src/platform/posix/portable.cpp)
    else()
      list(APPEND sources ${root}/src/platform/posix/linux.cpp)
    endif()
  endif()
  set(${out} ${sources} PARENT_SCOPE)
endfunction()
