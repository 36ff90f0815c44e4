# Fails unless the export table of the DLL at LIBRARY names exactly the functions of bmpsepia.h,
# BMPSepia and the bmpsepia_* API, and the DLL needs no runtime DLL of the compiler's.
set(want BMPSepia bmpsepia_convert_file bmpsepia_convert_file_w bmpsepia_convert_memory
    bmpsepia_convert_memory_to_file bmpsepia_convert_to_writer bmpsepia_free bmpsepia_status_message)
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${LIBRARY}")
endif()
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]+\\[[ 0-9]+\\][^\n]*\n)*)"
       table "${dump}")
# Square brackets would group a CMake list's items: the names are taken without them.
string(REGEX REPLACE "[][]" " " table "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "[0-9] +[^ \t\n]+" entries "${table}")
list(TRANSFORM entries REPLACE "^[0-9] +" "")
list(SORT entries)
list(SORT want)
if(NOT entries STREQUAL want)
  message(FATAL_ERROR "exports of ${LIBRARY}: '${entries}', want '${want}'")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(import IN LISTS imports)
  if(import MATCHES "(libgcc|libstdc|libwinpthread)")
    message(FATAL_ERROR "${LIBRARY} needs a compiler runtime DLL: ${import}")
  endif()
endforeach()
message(STATUS "exports: ${entries}; ${imports}")
