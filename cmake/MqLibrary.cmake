# mq_add_library(<target> OUTPUT_NAME <name> SOURCES <files...>)
#
# Builds one of the project's shared libraries: versioned SONAME
# (lib<name>.so.<major>), hidden visibility (only MQ_EXPORT symbols leave the
# library), installed into the library directory.
function(mq_add_library target)
    cmake_parse_arguments(ARG "" "OUTPUT_NAME" "SOURCES" ${ARGN})
    add_library(${target} SHARED ${ARG_SOURCES})
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME ${ARG_OUTPUT_NAME}
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR}
        INSTALL_RPATH "$ORIGIN")
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
    install(TARGETS ${target} EXPORT mqtoolkitTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()
