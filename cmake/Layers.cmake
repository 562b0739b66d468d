# The layers and programs, and the rule that keeps them one-way.
#
# A layer is a static library that shows its users only the headers it declares: they are linked
# into build/include/<target>/ under their path from the source root ("link/device_link.h"), and
# that folder is the only include path the layer hands on. A file that includes a header of a
# layer its target does not link therefore fails to compile. Headers a layer keeps to itself go
# to build/include/<target>-private/, seen by its own sources only.
#
# VANTRA_LAYERS (top-level CMakeLists.txt) lists the layers from the top down. After all targets
# exist, vantra_check_layers() writes the graph to build/layers.txt and stops the configure if a
# layer links one listed above it: a back-edge, the first step of a cycle.

function(_vantra_stage_headers root)
  foreach(header IN LISTS ARGN)
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/${header})
    if(NOT EXISTS ${source})
      message(FATAL_ERROR "${header}: no such header in ${CMAKE_CURRENT_SOURCE_DIR}")
    endif()
    file(RELATIVE_PATH path ${PROJECT_SOURCE_DIR} ${source})
    get_filename_component(folder ${root}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK ${source} ${root}/${path} SYMBOLIC)
  endforeach()
endfunction()

# vantra_layer(<target> SOURCES ... HEADERS ... [PRIVATE_HEADERS ...] [LINKS ...])
function(vantra_layer target)
  cmake_parse_arguments(L "" "" "SOURCES;HEADERS;PRIVATE_HEADERS;LINKS" ${ARGN})
  add_library(${target} STATIC ${L_SOURCES})
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  _vantra_stage_headers(${root} ${L_HEADERS})
  target_include_directories(${target} PUBLIC ${root})
  if(L_PRIVATE_HEADERS)
    _vantra_stage_headers(${root}-private ${L_PRIVATE_HEADERS})
    target_include_directories(${target} PRIVATE ${root}-private)
  endif()
  target_link_libraries(${target} PUBLIC ${L_LINKS})
endfunction()

# vantra_program(<target> SOURCES ... [HEADERS ...] LINKS ...): a program a user runs. It lands
# in build/bin (nothing else does) and is installed; like a layer, it sees only what it links.
# Its sources see the project's version as VANTRA_VERSION.
function(vantra_program target)
  cmake_parse_arguments(P "" "" "SOURCES;HEADERS;LINKS" ${ARGN})
  add_executable(${target} ${P_SOURCES})
  if(P_HEADERS)
    set(root ${CMAKE_BINARY_DIR}/include/${target}-private)
    _vantra_stage_headers(${root} ${P_HEADERS})
    target_include_directories(${target} PRIVATE ${root})
  endif()
  target_link_libraries(${target} PRIVATE ${P_LINKS})
  # For --version: the project's own, never a second copy in the sources.
  target_compile_definitions(${target} PRIVATE VANTRA_VERSION="${PROJECT_VERSION}")
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY VANTRA_PROGRAMS ${target})
endfunction()

# The direct links of each program and layer, top down, one line each ("a -> b c"), to
# build/layers.txt; docs/architecture.md shows the same lines (test "layers" compares them).
function(vantra_check_layers)
  get_property(programs GLOBAL PROPERTY VANTRA_PROGRAMS)
  set(lines "")
  foreach(target IN LISTS programs VANTRA_LAYERS)
    get_target_property(links ${target} LINK_LIBRARIES)
    if(NOT links)
      set(links "")
    endif()
    list(JOIN links " " links)
    string(STRIP "${target} -> ${links}" line)
    list(APPEND lines "${line}")
  endforeach()
  include(${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake)
  vantra_find_back_edges("${lines}" problems)
  if(problems)
    message(FATAL_ERROR "The layers link upwards:\n${problems}")
  endif()
  list(JOIN lines "\n" text)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/layers.txt CONTENT "${text}\n")
endfunction()
