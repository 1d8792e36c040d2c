# mq_add_library(<target> OUTPUT_NAME <name> [INCLUDE_DIR <dir>] [SOURCES <files...>])
#
# Builds one of the project's shared libraries: versioned SONAME
# (lib<name>.so.<major>), hidden visibility, installed into the library
# directory. Each library gets an export header of its own,
# <target>_export.h, whose <TARGET>_EXPORT marks what leaves the library, and
# offers INCLUDE_DIR (its own folder unless given) as its include folder: a
# library sees the headers of exactly the layers it links.
#
# What the library exports is fixed by its version script,
# cmake/symbols/<target>.map: the old interface's names and the documented
# additions, and nothing else (no instantiation of a std:: template a header
# happened to use, no test hook), whatever the compiler marks visible.
include(GenerateExportHeader)

function(mq_add_library target)
    cmake_parse_arguments(ARG "" "OUTPUT_NAME;INCLUDE_DIR" "SOURCES" ${ARGN})
    if(NOT ARG_INCLUDE_DIR)
        set(ARG_INCLUDE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    endif()
    add_library(${target} SHARED ${ARG_SOURCES})
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME ${ARG_OUTPUT_NAME}
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR}
        INSTALL_RPATH "$ORIGIN")
    target_link_options(${target} PRIVATE -Wl,--no-undefined)

    set(version_script ${PROJECT_SOURCE_DIR}/cmake/symbols/${target}.map)
    target_link_options(${target} PRIVATE "LINKER:--version-script=${version_script}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${version_script})

    set(export_dir ${PROJECT_BINARY_DIR}/exports/${target})
    generate_export_header(${target} EXPORT_FILE_NAME ${export_dir}/${target}_export.h)
    target_include_directories(${target} PUBLIC
        $<BUILD_INTERFACE:${ARG_INCLUDE_DIR}>
        $<BUILD_INTERFACE:${export_dir}>
        $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/mqtoolkit>)
    install(FILES ${export_dir}/${target}_export.h
            DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mqtoolkit)

    install(TARGETS ${target} EXPORT mqtoolkitTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()
