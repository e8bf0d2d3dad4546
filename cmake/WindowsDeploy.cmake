# Target "deploy": gathers what a vendor ships, as windeployqt does on
# Windows, into two folders of ${UPDATER_DEPLOY_DIR}:
#   client/  updater.exe with every DLL it needs and the plugins Qt loads at
#            run time: what goes next to the vendor's program, nothing else;
#   tools/   updater-publish.exe with the DLLs it needs.
# and a zip of client/, whose size and files it prints.
# Included from the top level after every executable target exists.

set(UPDATER_DEPLOY_DIR ${PROJECT_BINARY_DIR}/deploy CACHE PATH
    "Folder that receives client/, tools/ and the zip of client/")
set(_client_dir ${UPDATER_DEPLOY_DIR}/client)
set(_tools_dir ${UPDATER_DEPLOY_DIR}/tools)
set(UPDATER_CLIENT_ZIP ${UPDATER_DEPLOY_DIR}/updater-client-${PROJECT_VERSION}.zip)

# Every DLL the updater needs, beside updater.exe (the release tool links
# the same library, so it takes the same list). Add to it here.
set(UPDATER_RUNTIME_DLLS)
foreach(_module Core Gui Widgets Network)
    list(APPEND UPDATER_RUNTIME_DLLS $<TARGET_FILE:Qt5::${_module}>)
endforeach()

# Qt5Network imports OpenSSL 3 (https), and so does the updater (signatures).
foreach(_dll libssl-3-x64.dll libcrypto-3-x64.dll)
    find_file(_openssl_dll_${_dll} ${_dll} PATH_SUFFIXES bin NO_CACHE)
    if(NOT _openssl_dll_${_dll})
        message(FATAL_ERROR "${_dll} not found beside the Qt in CMAKE_PREFIX_PATH (the OpenSSL 3 toolchain ships it in bin/)")
    endif()
    list(APPEND UPDATER_RUNTIME_DLLS ${_openssl_dll_${_dll}})
endforeach()

if(MINGW)
    # The runtime of the compiler that built Qt and us; the POSIX variant's
    # libstdc++ differs from the win32 one, so ask this compiler for it.
    get_filename_component(_compiler_dir ${CMAKE_CXX_COMPILER} DIRECTORY)
    foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
            OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${_path}" OR NOT EXISTS "${_path}")
            # A native MinGW keeps its DLLs beside gcc.exe instead.
            unset(_path)
            find_file(_path ${_dll} HINTS ${_compiler_dir} NO_CACHE NO_CMAKE_FIND_ROOT_PATH)
        endif()
        if(NOT _path)
            message(FATAL_ERROR "${_dll} of ${CMAKE_CXX_COMPILER} not found")
        endif()
        get_filename_component(_path ${_path} REALPATH)
        list(APPEND UPDATER_RUNTIME_DLLS ${_path})
    endforeach()
endif()

# qwindows is the platform; qico decodes the .ico window icon.
set(_client_plugins QWindowsIntegrationPlugin QICOPlugin)

set(_deploy_commands
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_client_dir} ${_tools_dir} ${UPDATER_CLIENT_ZIP}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_client_dir}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:updater> ${UPDATER_RUNTIME_DLLS} ${_client_dir}/)
foreach(_plugin IN LISTS _client_plugins)
    if(NOT TARGET Qt5::${_plugin})
        message(FATAL_ERROR "Qt plugin ${_plugin} is missing from the Qt in CMAKE_PREFIX_PATH")
    endif()
    get_target_property(_type Qt5::${_plugin} QT_PLUGIN_TYPE)
    list(APPEND _deploy_commands
        COMMAND ${CMAKE_COMMAND} -E make_directory ${_client_dir}/${_type}
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Qt5::${_plugin}> ${_client_dir}/${_type}/)
endforeach()
if(TARGET updater-publish)
    list(APPEND _deploy_commands
        COMMAND ${CMAKE_COMMAND} -E make_directory ${_tools_dir}
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:updater-publish> ${UPDATER_RUNTIME_DLLS} ${_tools_dir}/)
endif()

# What a vendor ships needs no symbols or debug information; stripped, the
# runtime DLL and the executables shrink to a fraction. Only the copies are
# stripped, the build tree keeps its debug information.
if(CMAKE_STRIP)
    set(_stripped ${_client_dir}/$<TARGET_FILE_NAME:updater>)
    if(TARGET updater-publish)
        list(APPEND _stripped ${_tools_dir}/$<TARGET_FILE_NAME:updater-publish>)
    endif()
    if(MINGW)
        foreach(_dir ${_client_dir} ${_tools_dir})
            list(APPEND _stripped ${_dir}/libstdc++-6.dll ${_dir}/libgcc_s_seh-1.dll ${_dir}/libwinpthread-1.dll)
        endforeach()
    endif()
    list(APPEND _deploy_commands COMMAND ${CMAKE_STRIP} --strip-unneeded ${_stripped})
endif()

# Authenticode: off unless a PKCS#12 file is named. Signed after stripping,
# which would break the signature, and before the zip.
set(UPDATER_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file (certificate and key) that signs updater.exe and updater-publish.exe; empty: unsigned")
set(UPDATER_SIGN_PASSWORD_ENV "UPDATER_SIGN_PASSWORD" CACHE STRING
    "Environment variable that holds the PKCS#12 file's password when deploy runs")
set(UPDATER_SIGN_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 time-stamp server, so signatures outlive the certificate (use one for every real release)")
if(UPDATER_SIGN_PKCS12)
    find_program(UPDATER_OSSLSIGNCODE osslsigncode)
    if(NOT UPDATER_OSSLSIGNCODE)
        message(FATAL_ERROR "UPDATER_SIGN_PKCS12 is set but osslsigncode is not installed (Debian: apt-get install osslsigncode)")
    endif()
    set(_signed_files ${_client_dir}/$<TARGET_FILE_NAME:updater>)
    if(TARGET updater-publish)
        list(APPEND _signed_files ${_tools_dir}/$<TARGET_FILE_NAME:updater-publish>)
    endif()
    list(JOIN _signed_files "$<SEMICOLON>" _signed_list)
    list(APPEND _deploy_commands
        COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${UPDATER_OSSLSIGNCODE} -DPKCS12=${UPDATER_SIGN_PKCS12}
                -DPASSWORD_ENV=${UPDATER_SIGN_PASSWORD_ENV} -DTIMESTAMP_URL=${UPDATER_SIGN_TIMESTAMP_URL}
                -DDESCRIPTION=${UPDATER_PRODUCT_NAME} "-DFILES=${_signed_list}"
                -P ${CMAKE_CURRENT_LIST_DIR}/SignWindows.cmake)
endif()

list(APPEND _deploy_commands
    COMMAND ${CMAKE_COMMAND} -DCLIENT_DIR=${_client_dir} -DZIP=${UPDATER_CLIENT_ZIP}
            -P ${CMAKE_CURRENT_LIST_DIR}/ZipClient.cmake)

add_custom_target(deploy ALL ${_deploy_commands}
    COMMENT "Gathering client/ and tools/ in ${UPDATER_DEPLOY_DIR}"
    VERBATIM)
add_dependencies(deploy updater)
if(TARGET updater-publish)
    add_dependencies(deploy updater-publish)
endif()
