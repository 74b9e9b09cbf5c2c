# The modules' export list on Linux: a version script made from
# host/VelocartDriver.def, the list the Windows module exports. A module
# exporting mexFunction alone keeps its state to itself: Octave loads MEX
# files with RTLD_GLOBAL, so without it two copies under different names
# (one per robot) would share a port through each other's symbols.
#
# velocart_def_exports(DEF VAR): the names listed after EXPORTS in a .def
# file (comments start with ';').
# VELOCART_EXPORTS_MAP: the version script.
function(velocart_def_exports def out_var)
  file(STRINGS ${def} lines REGEX "^[ \t]*[A-Za-z_]")
  set(names)
  set(in_exports FALSE)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "EXPORTS")
      set(in_exports TRUE)
    elseif(in_exports)
      string(REGEX MATCH "^[A-Za-z_][A-Za-z0-9_]*" name "${line}")
      list(APPEND names ${name})
    endif()
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  set(${out_var} ${names} PARENT_SCOPE)
endfunction()

velocart_def_exports(${PROJECT_SOURCE_DIR}/host/VelocartDriver.def module_exports)
list(JOIN module_exports "; " export_list)
set(VELOCART_EXPORTS_MAP ${CMAKE_BINARY_DIR}/exports/VelocartDriver.map)
file(GENERATE OUTPUT ${VELOCART_EXPORTS_MAP}
  CONTENT "/* Generated from host/VelocartDriver.def. */\n{\n  global: ${export_list};\n  local: *;\n};\n")
