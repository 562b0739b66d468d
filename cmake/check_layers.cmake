# The layer graph's checks, shared by the configure step and the test "layers".
#
# A graph is a list of lines "target -> link link ...", the programs first, then the layers from
# the top down. A link to a target on an earlier line is a back-edge.
#
# As a script: cmake -DGRAPH=build/layers.txt -DDOC=docs/architecture.md -P check_layers.cmake
#   fails on a back-edge, or if the picture in DOC (the lines between "<!-- layers: begin -->"
#   and "<!-- layers: end -->") is not the graph.
# With -DBACK_EDGE=ON it adds a back-edge to the graph and fails unless the check finds it.

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

function(vantra_find_back_edges lines out)
  set(seen "")
  set(problems "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE " *->.*" "" target "${line}")
    string(REGEX REPLACE "^[^>]*-> *" "" links "${line}")
    string(REPLACE " " ";" links "${links}")
    foreach(link IN LISTS links)
      if(link IN_LIST seen)
        string(APPEND problems "  ${target} links ${link}, which stands above it\n")
      endif()
    endforeach()
    list(APPEND seen ${target})
  endforeach()
  set(${out} "${problems}" PARENT_SCOPE)
endfunction()

function(_vantra_read_lines file out)
  file(STRINGS ${file} raw)
  set(lines "")
  foreach(line IN LISTS raw)
    string(REGEX REPLACE "  +" " " line "${line}")
    string(STRIP "${line}" line)
    if(NOT line STREQUAL "")
      list(APPEND lines "${line}")
    endif()
  endforeach()
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  _vantra_read_lines(${GRAPH} graph)
  if(BACK_EDGE)
    # The bottom layer links the top line's target.
    list(GET graph 0 top)
    string(REGEX REPLACE " *->.*" "" top "${top}")
    list(POP_BACK graph bottom)
    list(APPEND graph "${bottom} ${top}")
    vantra_find_back_edges("${graph}" problems)
    if(NOT problems)
      message(FATAL_ERROR "A back-edge (${bottom} ${top}) went unnoticed")
    endif()
    return()
  endif()

  vantra_find_back_edges("${graph}" problems)
  if(problems)
    message(FATAL_ERROR "The layers link upwards:\n${problems}")
  endif()

  file(READ ${DOC} doc)
  string(FIND "${doc}" "<!-- layers: begin -->" begin)
  string(FIND "${doc}" "<!-- layers: end -->" end)
  if(begin EQUAL -1 OR end EQUAL -1)
    message(FATAL_ERROR "${DOC} has no layers picture between <!-- layers: begin --> and <!-- layers: end -->")
  endif()
  math(EXPR length "${end} - ${begin}")
  string(SUBSTRING "${doc}" ${begin} ${length} picture)
  get_filename_component(scratch ${GRAPH} DIRECTORY)
  file(WRITE ${scratch}/layers-doc.txt "${picture}")
  _vantra_read_lines(${scratch}/layers-doc.txt shown)
  list(FILTER shown INCLUDE REGEX " ->( |$)")
  if(NOT shown STREQUAL graph)
    list(JOIN graph "\n" expected)
    message(FATAL_ERROR "The targets picture in ${DOC} is not the build's graph. It should read:\n${expected}")
  endif()
endif()
