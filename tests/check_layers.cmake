# Fails when a source file includes a project header from a folder its own
# folder may not depend on. The layers run one way:
#   base <- polygon <- tiles <- coords, filesel <- app; tools on top.
# ui/qt (the Qt side of the services) builds on base alone; only app, tests
# and bench may include it. coords and filesel do not include each other.
# The tools' side: cli (the command parser) builds on the core, gis (the
# GIS bridge) on cli and the core, tools (the mains) on all of them.
# Qt headers stand only in ui/qt and the editor's main routine, GDAL
# headers only in gis/: the core builds without either.
# Run as: cmake -DROOT=<source folder> -P check_layers.cmake

set(ALLOWED_base    "base")
set(ALLOWED_ui/qt   "base;ui/qt")
set(ALLOWED_polygon "base;polygon")
set(ALLOWED_tiles   "base;polygon;tiles")
set(ALLOWED_coords  "base;polygon;tiles;coords")
set(ALLOWED_filesel "base;polygon;tiles;filesel")
set(ALLOWED_app     "base;ui/qt;polygon;tiles;coords;filesel;app")
set(ALLOWED_cli     "base;polygon;tiles;cli")
set(ALLOWED_gis     "base;polygon;tiles;cli;gis")
set(ALLOWED_tools   "base;polygon;tiles;coords;filesel;cli;gis;tools")

# The folder a path belongs to.
function(layer_of path out)
  if(path MATCHES "^ui/qt/")
    set(${out} "ui/qt" PARENT_SCOPE)
  elseif(path MATCHES "^([a-z]+)/")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

set(folders base ui/qt polygon tiles coords filesel app cli gis tools)
set(globs "")
foreach(folder ${folders})
  list(APPEND globs ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.cpp)
endforeach()
file(GLOB_RECURSE sources RELATIVE ${ROOT} ${globs})

set(violations 0)
foreach(source ${sources})
  layer_of("${source}" own)
  set(allowed "${ALLOWED_${own}}")
  file(STRINGS ${ROOT}/${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(line ${lines})
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<([^>]+)>")
      # Library headers: Qt and GDAL only where their side of the house is.
      set(header "${CMAKE_MATCH_1}")
      if(header MATCHES "^Q" AND NOT own STREQUAL "ui/qt" AND NOT source STREQUAL "app/KAVLIN_Modifier.cpp")
        message(SEND_ERROR "${source}: includes <${header}> (Qt only in ui/qt and the editor's main routine)")
        math(EXPR violations "${violations} + 1")
      elseif(header MATCHES "^(gdal|ogr|cpl_)" AND NOT own STREQUAL "gis")
        message(SEND_ERROR "${source}: includes <${header}> (GDAL only in gis)")
        math(EXPR violations "${violations} + 1")
      endif()
      continue()
    endif()
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*$" "\\1" header "${line}")
    layer_of("${header}" target)
    if(target STREQUAL "")
      continue()
    endif()
    list(FIND allowed "${target}" found)
    if(found EQUAL -1)
      message(SEND_ERROR "${source}: includes ${header} (${own} may use only: ${allowed})")
      math(EXPR violations "${violations} + 1")
    endif()
  endforeach()
endforeach()

list(LENGTH sources checked)
if(violations GREATER 0)
  message(FATAL_ERROR "${violations} include(s) against the layers in ${checked} files")
endif()
message(STATUS "layers kept in ${checked} files")
