# Target "deploy": gathers what a vendor ships into ${UPDATER_DEPLOY_DIR}, as
# windeployqt does on Windows: the executables, the Qt DLLs they load, the
# plugins Qt loads at run time (from platforms/, imageformats/, styles/ beside
# the executable) and, for MinGW, the compiler's runtime DLLs.
# Included from the top level after every executable target exists.

set(UPDATER_DEPLOY_DIR ${PROJECT_BINARY_DIR}/deploy CACHE PATH
    "Folder that receives the Windows executables and every DLL they need")

set(_deploy_programs updater)
if(TARGET updater-publish)
    list(APPEND _deploy_programs updater-publish)
endif()

set(_deploy_commands COMMAND ${CMAKE_COMMAND} -E make_directory ${UPDATER_DEPLOY_DIR})
foreach(_program IN LISTS _deploy_programs)
    list(APPEND _deploy_commands
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${_program}> ${UPDATER_DEPLOY_DIR}/)
endforeach()

foreach(_module Core Gui Widgets Network)
    list(APPEND _deploy_commands
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Qt5::${_module}> ${UPDATER_DEPLOY_DIR}/)
endforeach()

# Qt5Network imports OpenSSL 3 (https), and so does the updater (signatures).
foreach(_dll libssl-3-x64.dll libcrypto-3-x64.dll)
    find_file(_openssl_dll_${_dll} ${_dll} PATH_SUFFIXES bin NO_CACHE)
    if(NOT _openssl_dll_${_dll})
        message(FATAL_ERROR "${_dll} not found beside the Qt in CMAKE_PREFIX_PATH (the OpenSSL 3 toolchain ships it in bin/)")
    endif()
    list(APPEND _deploy_commands
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_openssl_dll_${_dll}} ${UPDATER_DEPLOY_DIR}/)
endforeach()

# qwindows is the real platform; qoffscreen lets tests show the dialog with no
# display; qico decodes the .ico window icon; the vista style gives native
# looking widgets.
foreach(_plugin QWindowsIntegrationPlugin QOffscreenIntegrationPlugin QICOPlugin QWindowsVistaStylePlugin)
    if(NOT TARGET Qt5::${_plugin})
        message(FATAL_ERROR "Qt plugin ${_plugin} is missing from the Qt in CMAKE_PREFIX_PATH")
    endif()
    get_target_property(_type Qt5::${_plugin} QT_PLUGIN_TYPE)
    list(APPEND _deploy_commands
        COMMAND ${CMAKE_COMMAND} -E make_directory ${UPDATER_DEPLOY_DIR}/${_type}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Qt5::${_plugin}> ${UPDATER_DEPLOY_DIR}/${_type}/)
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
        list(APPEND _deploy_commands
            COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_path} ${UPDATER_DEPLOY_DIR}/${_dll})
    endforeach()
endif()

# What a vendor ships needs no symbols or debug information; stripped, the
# runtime DLL and updater.exe shrink to a fraction. Only the copies are
# stripped, the build tree keeps its debug information.
if(CMAKE_STRIP)
    set(_deploy_stripped)
    foreach(_program IN LISTS _deploy_programs)
        list(APPEND _deploy_stripped ${UPDATER_DEPLOY_DIR}/$<TARGET_FILE_NAME:${_program}>)
    endforeach()
    if(MINGW)
        list(APPEND _deploy_stripped ${UPDATER_DEPLOY_DIR}/libstdc++-6.dll ${UPDATER_DEPLOY_DIR}/libgcc_s_seh-1.dll
            ${UPDATER_DEPLOY_DIR}/libwinpthread-1.dll)
    endif()
    list(APPEND _deploy_commands COMMAND ${CMAKE_STRIP} --strip-unneeded ${_deploy_stripped})
endif()

add_custom_target(deploy ALL ${_deploy_commands}
    COMMENT "Gathering the Windows executables and their DLLs in ${UPDATER_DEPLOY_DIR}"
    VERBATIM)
add_dependencies(deploy ${_deploy_programs})
