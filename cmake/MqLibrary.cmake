# mq_add_library(<target> OUTPUT_NAME <name> SOURCES <files...>)
#
# Builds one of the project's shared libraries: versioned SONAME
# (lib<name>.so.<major>), hidden visibility, installed into the library
# directory. Each library gets an export header of its own,
# <target>_export.h, whose <TARGET>_EXPORT marks what leaves the library, and
# offers its own folder as its include folder: a library sees the headers of
# exactly the layers it links.
include(GenerateExportHeader)

function(mq_add_library target)
    cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES" ${ARGN})
    add_library(${target} SHARED ${ARG_SOURCES})
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME ${ARG_OUTPUT_NAME}
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR}
        INSTALL_RPATH "$ORIGIN")
    target_link_options(${target} PRIVATE -Wl,--no-undefined)

    set(export_dir ${PROJECT_BINARY_DIR}/exports/${target})
    generate_export_header(${target} EXPORT_FILE_NAME ${export_dir}/${target}_export.h)
    target_include_directories(${target} PUBLIC
        $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
        $<BUILD_INTERFACE:${export_dir}>
        $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/mqtoolkit>)
    install(FILES ${export_dir}/${target}_export.h
            DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mqtoolkit)

    install(TARGETS ${target} EXPORT mqtoolkitTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()
