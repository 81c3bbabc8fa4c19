# Standard headers nearly every file includes, precompiled once per target: cuts the
# build's compile time by about a third on our two-core machines.
function(zentrad_precompile_std target)
  target_precompile_headers(${target} PRIVATE <algorithm> <atomic> <chrono> <cstdint> <cstring>
    <filesystem> <functional> <map> <memory> <mutex> <optional> <sstream> <string> <thread> <vector>)
endfunction()

# The folder of src/ that library NAME may include from: links to its own folder and to the
# folders of the libraries it declares, nothing else. Headers keep their "dir/File.h" names,
# and since each library's view reaches its users only through the links it declares, an
# include of a library above (header-only code included) fails to build.
function(zentrad_include_view name)
  set(view ${PROJECT_BINARY_DIR}/include-views/${name})
  file(REMOVE_RECURSE ${view})
  file(MAKE_DIRECTORY ${view})
  foreach(folder IN ITEMS ${name} ${ARGN})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${view}/${folder} SYMBOLIC)
  endforeach()
  set(zentrad_view ${view} PARENT_SCOPE)
endfunction()

# zentrad_module(NAME [DEPS lib...] [PUBLIC_LIBS lib...])
# Builds the library zentrad_NAME from the .cc files of the calling folder (not its
# subfolders). Folders without sources yet become interface libraries, so the
# dependency graph stays the same while the tree grows. DEPS are the libraries of src/
# whose headers it includes: it links them and sees only their folders.
function(zentrad_module name)
  cmake_parse_arguments(ARG "" "" "DEPS;PUBLIC_LIBS;EXTRA_SOURCES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(APPEND sources ${ARG_EXTRA_SOURCES})
  set(target zentrad_${name})
  set(deps "")
  foreach(dep IN LISTS ARG_DEPS)
    list(APPEND deps zentrad_${dep})
  endforeach()
  zentrad_include_view(${name} ${ARG_DEPS})
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${zentrad_view})
    target_link_libraries(${target} PUBLIC ${deps} ${ARG_PUBLIC_LIBS})
    zentrad_precompile_std(${target})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${zentrad_view})
    target_link_libraries(${target} INTERFACE ${deps} ${ARG_PUBLIC_LIBS})
  endif()
endfunction()

# zentrad_tagged_executables(SUFFIX TAG [LIBS lib...])
# Every NAME_SUFFIX.cc of the calling folder becomes the executable NAME_SUFFIX, linked with
# the libraries named in its first "// TAG: a b" line (as zentrad_a zentrad_b) and with
# LIBS. The targets made are left in zentrad_executables for the caller.
function(zentrad_tagged_executables suffix tag)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_${suffix}.cc)
  set(made "")
  foreach(source IN LISTS sources)
    get_filename_component(name ${source} NAME_WE)
    file(STRINGS ${source} line REGEX "^// ${tag}:" LIMIT_COUNT 1)
    string(REPLACE "// ${tag}:" "" line "${line}")
    separate_arguments(names UNIX_COMMAND "${line}")
    list(TRANSFORM names PREPEND zentrad_)
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE ${names} ${ARG_LIBS})
    list(APPEND made ${name})
  endforeach()
  set(zentrad_executables ${made} PARENT_SCOPE)
endfunction()
