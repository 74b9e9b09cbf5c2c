# VelocartDriver.mex for GNU Octave, compiled against Octave's own mex.h.
# Like `mkoctfile --mex`, it links no Octave library: the host process
# supplies the mx/mex symbols when it loads the module.
find_program(MKOCTFILE mkoctfile REQUIRED)
execute_process(COMMAND ${MKOCTFILE} -p OCTINCLUDEDIR
  OUTPUT_VARIABLE OCTAVE_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)

add_library(velocart_octave_mex MODULE ${VELOCART_GATEWAY_SOURCES})
set_target_properties(velocart_octave_mex PROPERTIES
  OUTPUT_NAME VelocartDriver PREFIX "" SUFFIX ".mex"
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/octave)
target_compile_definitions(velocart_octave_mex PRIVATE VELOCART_HOST_OCTAVE)
target_include_directories(velocart_octave_mex SYSTEM PRIVATE ${OCTAVE_INCLUDE_DIR})
target_link_libraries(velocart_octave_mex PRIVATE velocart_protocol velocart_serial)
target_link_options(velocart_octave_mex PRIVATE -Wl,-Bsymbolic)
# It exports mexFunction alone (cmake/module-exports.cmake says why).
if(VELOCART_EXPORTS_MAP)
  target_link_options(velocart_octave_mex PRIVATE -Wl,--version-script=${VELOCART_EXPORTS_MAP})
  set_target_properties(velocart_octave_mex PROPERTIES LINK_DEPENDS ${VELOCART_EXPORTS_MAP})
endif()
velocart_warnings(velocart_octave_mex)

# The help text sits beside the module, as it will in dist/octave; it is
# copied again whenever it changes, whether or not the module does.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/octave/VelocartDriver.m
  COMMAND ${CMAKE_COMMAND} -E copy
    ${CMAKE_SOURCE_DIR}/matlab/VelocartDriver.m ${CMAKE_BINARY_DIR}/octave/VelocartDriver.m
  DEPENDS ${CMAKE_SOURCE_DIR}/matlab/VelocartDriver.m)
add_custom_target(velocart_octave_help ALL DEPENDS ${CMAKE_BINARY_DIR}/octave/VelocartDriver.m)
add_dependencies(velocart_octave_mex velocart_octave_help)
