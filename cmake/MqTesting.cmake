find_package(GTest REQUIRED)

# mq_add_test(<name> SOURCES <files...> [LIBS <libs...>] [ENVIRONMENT <k=v...>]
#             [LABELS <labels...>] [TIMEOUT <seconds>])
#
# One GoogleTest program, registered with ctest as one test of the same name.
# Every test runs with the sanitizers' reports made fatal and with its
# working directory inside the build tree.
function(mq_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;ENVIRONMENT;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main
                          Threads::Threads)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${ARG_TIMEOUT}
        LABELS "${ARG_LABELS}"
        ENVIRONMENT "MQ_LOG=stderr;ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1;${ARG_ENVIRONMENT}")
endfunction()
