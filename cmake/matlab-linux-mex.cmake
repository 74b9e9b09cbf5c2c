# VelocartDriver.mexa64 for MATLAB on 64-bit Linux, built here without MATLAB.
#
# It links against stand-ins of MATLAB's libmx.so and libmex.so generated
# from host/libmx.def and host/libmex.def, the lists the Windows import
# libraries are made from, so both modules import the same calls; with
# --no-undefined, a call missing from the lists fails the link. Its one
# export, mexFunction, comes from host/VelocartDriver.def as a version script
# (cmake/module-exports.cmake).
#
# It must load in MATLAB on older distributions (RHEL 8 has glibc 2.28), so
# it takes nothing from this machine's compiler that those lack:
#   - The C++ runtime is linked in and kept out of the export table
#     (-static-libstdc++ -static-libgcc --exclude-libs ALL): MATLAB loads
#     its own libstdc++, which must not meet this machine's.
#   - It is compiled without exceptions. The gateway throws none, but with
#     them every destructor needs the runtime's personality routine, which
#     brings in the unwinder of GCC 12 and, with it, _dl_find_object
#     (GLIBC_2.35), pthread_once and __pthread_key_create (GLIBC_2.34) and
#     thread-local storage through ld-linux-x86-64.so.2. Without exceptions
#     none of the runtime is needed at all.
# tests/linux checks the result: exports, NEEDED and symbol versions.
#
# Output: ${CMAKE_BINARY_DIR}/mexa64/VelocartDriver.mexa64, its help file, and
# velocart-sim, the simulated robot, built for the same distributions.
set(mexa64_dir ${CMAKE_BINARY_DIR}/mexa64)
set(mexa64_link_dir ${mexa64_dir}/link)

# Link-time stand-ins: libmx.so and libmex.so defining each listed name as
# an empty function. Only their names and sonames matter; MATLAB supplies
# the real ones when it loads the module.
foreach(lib libmx libmex libut)
  velocart_def_exports(${PROJECT_SOURCE_DIR}/host/${lib}.def names)
  set(stub_source "// Generated from host/${lib}.def: link-time stand-ins for MATLAB's ${lib}.so.\n")
  string(APPEND stub_source "extern \"C\" {\n")
  foreach(name IN LISTS names)
    string(APPEND stub_source "void ${name}() {}\n")
  endforeach()
  string(APPEND stub_source "}\n")
  file(GENERATE OUTPUT ${mexa64_link_dir}/${lib}_stub.cpp CONTENT "${stub_source}")
  add_library(${lib}_link_stub SHARED ${mexa64_link_dir}/${lib}_stub.cpp)
  string(REGEX REPLACE "^lib" "" output_name ${lib})
  set_target_properties(${lib}_link_stub PROPERTIES
    OUTPUT_NAME ${output_name} LIBRARY_OUTPUT_DIRECTORY ${mexa64_link_dir})
endforeach()

get_target_property(protocol_sources velocart_protocol SOURCES)
add_library(velocart_mexa64 MODULE
  ${VELOCART_GATEWAY_SOURCES} ${protocol_sources} src/serial/serial_link.cpp
  src/serial/serial_link_posix.cpp src/serial/port_list.cpp src/serial/port_list_posix.cpp)
set_target_properties(velocart_mexa64 PROPERTIES
  OUTPUT_NAME VelocartDriver PREFIX "" SUFFIX ".mexa64"
  LIBRARY_OUTPUT_DIRECTORY ${mexa64_dir}
  SKIP_BUILD_RPATH ON
  LINK_DEPENDS ${VELOCART_EXPORTS_MAP})
target_include_directories(velocart_mexa64 PRIVATE src)
target_compile_options(velocart_mexa64 PRIVATE -fno-exceptions)
target_link_libraries(velocart_mexa64 PRIVATE libmx_link_stub libmex_link_stub libut_link_stub)
target_link_options(velocart_mexa64 PRIVATE
  -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL
  -Wl,--version-script=${VELOCART_EXPORTS_MAP} -Wl,--no-undefined -Wl,--fatal-warnings)
velocart_warnings(velocart_mexa64)

# The help text sits beside the module, as it will in dist/linux-matlab.
add_custom_command(TARGET velocart_mexa64 POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
    ${PROJECT_SOURCE_DIR}/matlab/VelocartDriver.m ${mexa64_dir}/VelocartDriver.m)

# velocart-sim for the same archive, so that MATLAB users on Linux can try
# the driver without a robot. Linked statically, it needs no C library at
# all, so none newer than the module's bound; it calls nothing that glibc
# would load more of at run time (no name service, no iconv).
add_executable(velocart_sim_glnxa64 ${PROJECT_SOURCE_DIR}/sim/main.cpp
  ${PROJECT_SOURCE_DIR}/sim/line_holders.cpp)
set_target_properties(velocart_sim_glnxa64 PROPERTIES
  OUTPUT_NAME velocart-sim RUNTIME_OUTPUT_DIRECTORY ${mexa64_dir})
target_link_libraries(velocart_sim_glnxa64 PRIVATE velocart_sim_core)
target_link_options(velocart_sim_glnxa64 PRIVATE -static -s)
velocart_warnings(velocart_sim_glnxa64)
