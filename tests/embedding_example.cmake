# Compiles the README's embedding example as a C program against bmpsepia.h and the shared
# library, runs it on a corpus photograph, and fails unless it gives BMPSepia's picture.
#   -DREADME= -DINCLUDE= -DLIBRARY= -DCC= -DFLAGS= (the build's sanitizers) -DJPEG= -DWANT= (the
#   SHA-256 of the BMP) -DWORK=
file(READ ${README} readme)
string(REGEX MATCH "<!-- the embedding example: tests compile and run it -->\n```c\n(.*)" found
       "${readme}")
string(FIND "${CMAKE_MATCH_1}" "```" end)
string(SUBSTRING "${CMAKE_MATCH_1}" 0 ${end} program)
if(program STREQUAL "")
  message(FATAL_ERROR "no embedding example in ${README}")
endif()
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/example.c "${program}")
get_filename_component(library_dir ${LIBRARY} DIRECTORY)
execute_process(COMMAND ${CC} -std=c11 -Wall -Werror ${FLAGS} -I${INCLUDE} ${WORK}/example.c
                        -L${library_dir} -lbmpsepia -Wl,-rpath,${library_dir} -o ${WORK}/example
                RESULT_VARIABLE failed ERROR_VARIABLE errors)
if(failed)
  message(FATAL_ERROR "the example does not compile:\n${errors}")
endif()
execute_process(COMMAND ${WORK}/example ${JPEG} ${WORK}/out.bmp
                RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE errors)
if(failed)
  message(FATAL_ERROR "the example failed (${failed}): ${said}${errors}")
endif()
file(SHA256 ${WORK}/out.bmp digest)
if(NOT digest STREQUAL WANT)
  message(FATAL_ERROR "the example wrote ${digest}, want ${WANT}")
endif()
message(STATUS "the example: ${said}")
