# Signs Windows executables with Authenticode, in place, with Debian's
# osslsigncode. Run in script mode:
#   cmake -DOSSLSIGNCODE=<program> -DPKCS12=<file> -DPASSWORD_ENV=<variable>
#         [-DTIMESTAMP_URL=<RFC 3161 server>] [-DDESCRIPTION=<text>]
#         -DFILES=<a.exe;b.exe> -P SignWindows.cmake
# The password is read from the environment variable PASSWORD_ENV names and
# handed to osslsigncode through a file only the owner can read, never on a
# command line. A file is replaced only by a signed copy that verifies; on
# any failure the step fails and the file stays as it was.
foreach(_required OSSLSIGNCODE PKCS12 PASSWORD_ENV FILES)
    if(NOT DEFINED ${_required} OR "${${_required}}" STREQUAL "")
        message(FATAL_ERROR "SignWindows.cmake: ${_required} is not set")
    endif()
endforeach()
if(NOT EXISTS "${PKCS12}")
    message(FATAL_ERROR "Signing certificate ${PKCS12} does not exist")
endif()
if(NOT DEFINED ENV{${PASSWORD_ENV}})
    message(FATAL_ERROR "The signing password is read from the environment variable ${PASSWORD_ENV}, which is not set")
endif()

string(RANDOM LENGTH 12 _nonce)
set(_pass_file "${CMAKE_CURRENT_BINARY_DIR}/.signing-pass-${_nonce}")
file(WRITE "${_pass_file}" "")
file(CHMOD "${_pass_file}" PERMISSIONS OWNER_READ OWNER_WRITE)
file(WRITE "${_pass_file}" "$ENV{${PASSWORD_ENV}}")

set(_options -h sha256)
if(DEFINED DESCRIPTION AND NOT "${DESCRIPTION}" STREQUAL "")
    list(APPEND _options -n "${DESCRIPTION}")
endif()
if(DEFINED TIMESTAMP_URL AND NOT "${TIMESTAMP_URL}" STREQUAL "")
    list(APPEND _options -ts "${TIMESTAMP_URL}")
endif()

set(_failure "")
foreach(_file IN LISTS FILES)
    set(_signed "${_file}.signed")
    file(REMOVE "${_signed}")
    execute_process(COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${PKCS12}" -readpass "${_pass_file}"
                            ${_options} -in "${_file}" -out "${_signed}"
        RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
    if(NOT _result EQUAL 0 OR NOT EXISTS "${_signed}")
        file(REMOVE "${_signed}")
        set(_failure "signing ${_file} failed: ${_output}")
        break()
    endif()
    file(RENAME "${_signed}" "${_file}")
    message(STATUS "Signed ${_file}")
endforeach()
file(REMOVE "${_pass_file}")
if(_failure)
    message(FATAL_ERROR "${_failure}")
endif()
