# The VERSIONINFO resource of updater.exe: product, description and company
# are the vendor's (cache variables), the version is the project's.
# Writes ${CMAKE_CURRENT_BINARY_DIR}/versioninfo.rc; include from src/.

set(UPDATER_PRODUCT_NAME "Updater" CACHE STRING "ProductName in updater.exe's version resource")
set(UPDATER_FILE_DESCRIPTION "Updater" CACHE STRING "FileDescription in updater.exe's version resource")
set(UPDATER_COMPANY_NAME "" CACHE STRING "CompanyName in updater.exe's version resource")

# A double quote inside an RC string is written twice.
foreach(_field PRODUCT_NAME FILE_DESCRIPTION COMPANY_NAME)
    string(REPLACE "\"" "\"\"" UPDATER_RC_${_field} "${UPDATER_${_field}}")
endforeach()
set(_version_parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} ${PROJECT_VERSION_TWEAK})
list(TRANSFORM _version_parts REPLACE "^$" "0")
list(LENGTH _version_parts _count)
while(_count LESS 4)
    list(APPEND _version_parts 0)
    math(EXPR _count "${_count} + 1")
endwhile()
list(JOIN _version_parts "," UPDATER_RC_VERSION)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/app/versioninfo.rc.in ${CMAKE_CURRENT_BINARY_DIR}/versioninfo.rc @ONLY)
