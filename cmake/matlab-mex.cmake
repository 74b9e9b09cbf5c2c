# VelocartDriver for MATLAB, built with CMake's own matlab_add_mex when a
# MATLAB installation is found (set Matlab_ROOT_DIR to pick one). Without
# MATLAB, or when cross-compiling, this file does nothing.
#
# The R2017b API with 32-bit dimensions: MX_COMPAT_32 makes MATLAB's mex.h
# declare the creation calls under their _700 names, which the gateway uses.
# Output: ${CMAKE_BINARY_DIR}/matlab/VelocartDriver.<mexext>
if(CMAKE_CROSSCOMPILING)
  return()
endif()
find_package(Matlab QUIET COMPONENTS MX_LIBRARY)
if(NOT Matlab_FOUND)
  return()
endif()

matlab_add_mex(NAME velocart_matlab_mex MODULE R2017b
  SRC ${VELOCART_GATEWAY_SOURCES}
  OUTPUT_NAME VelocartDriver
  LINK_TO velocart_protocol velocart_serial)
target_compile_definitions(velocart_matlab_mex PRIVATE VELOCART_HOST_MATLAB MX_COMPAT_32)
set_target_properties(velocart_matlab_mex PROPERTIES
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/matlab
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/matlab)
message(STATUS "MATLAB ${Matlab_VERSION_STRING} at ${Matlab_ROOT_DIR}: "
  "building VelocartDriver.${Matlab_MEX_EXTENSION}")
