# Installs the build into a fresh prefix and uses it from outside, as another project would.
# Fails (FATAL_ERROR) at the first step that does not work.

function(run what)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK_DIR}/run RESULT_VARIABLE failed
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(failed)
    message(FATAL_ERROR "${what} failed (${failed}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/run)
set(prefix ${WORK_DIR}/prefix)
run("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

run("configuring the consumer" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer
    -G ${GENERATOR} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix}
    "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}")
run("building the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)

file(COPY_FILE ${SAMPLE} ${WORK_DIR}/run/in.jpg)
foreach(program with_cmake_package with_pkg_config)
  file(REMOVE ${WORK_DIR}/run/out.bmp)
  run("${program}" ${WORK_DIR}/consumer/${program})
  if(NOT EXISTS ${WORK_DIR}/run/out.bmp)
    message(FATAL_ERROR "${program} wrote no out.bmp")
  endif()
endforeach()

run("the installed tool" ${prefix}/bin/bmpsepia --version)
if(NOT output MATCHES "^bmpsepia [0-9]+\\.[0-9]+\\.[0-9]+\n$")
  message(FATAL_ERROR "unexpected --version output: ${output}")
endif()
run("the installed tool converting" ${prefix}/bin/bmpsepia in.jpg tool.bmp)
foreach(file include/bmpsepia.h share/man/man1/bmpsepia.1)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "installed, found by find_package and pkg-config, tool runs")
