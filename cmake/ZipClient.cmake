# cmake -DCLIENT_DIR=... -DZIP=... -P ZipClient.cmake: zips the folder a
# vendor ships (its files at the top of the archive) and prints the
# archive's size and files.
file(GLOB_RECURSE _files RELATIVE ${CLIENT_DIR} ${CLIENT_DIR}/*)
list(SORT _files)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip -- ${_files}
    WORKING_DIRECTORY ${CLIENT_DIR} RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
    message(FATAL_ERROR "cannot write ${ZIP}")
endif()
file(SIZE ${ZIP} _size)
math(EXPR _kib "(${_size} + 1023) / 1024")
message(STATUS "${ZIP}: ${_kib} KiB, ${_size} bytes")
foreach(_file IN LISTS _files)
    file(SIZE ${CLIENT_DIR}/${_file} _file_size)
    message(STATUS "  ${_file} (${_file_size} bytes)")
endforeach()
