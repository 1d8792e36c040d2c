# Installation: the libraries find each other next to themselves, programs
# find them in ../lib, and consumers find the toolkit by pkg-config
# (mqtoolkit.pc) or by find_package(mqtoolkit).
include(CMakePackageConfigHelpers)

install(EXPORT mqtoolkitTargets
    NAMESPACE mqtoolkit::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mqtoolkit)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/mqtoolkitConfig.cmake.in
    ${PROJECT_BINARY_DIR}/mqtoolkitConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mqtoolkit)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/mqtoolkitConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/mqtoolkitConfig.cmake
              ${PROJECT_BINARY_DIR}/mqtoolkitConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/mqtoolkit)

configure_file(${PROJECT_SOURCE_DIR}/cmake/mqtoolkit.pc.in
    ${PROJECT_BINARY_DIR}/mqtoolkit.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mqtoolkit.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
