find_package(GTest REQUIRED)

# An emulated run (the i386 build on amd64) is several times slower than a
# native one: its timeouts are scaled, and so are the tests' own deadlines
# (MQTEST_TIME_SCALE in their environment). LeakSanitizer stops the process's
# threads with ptrace, which the user-mode emulator does not offer.
set(MQ_TEST_TIMEOUT_SCALE 1 CACHE STRING "Factor applied to every test's timeout")
option(MQ_TEST_DETECT_LEAKS "Run the sanitized tests with LeakSanitizer" ON)
if(MQ_TEST_DETECT_LEAKS)
    set(MQ_TEST_LEAKS 1)
else()
    set(MQ_TEST_LEAKS 0)
endif()

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
    math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * ${MQ_TEST_TIMEOUT_SCALE}")
    set_tests_properties(${name} PROPERTIES
        TIMEOUT ${ARG_TIMEOUT}
        LABELS "${ARG_LABELS}"
        ENVIRONMENT "MQ_LOG=stderr;MQTEST_TIME_SCALE=${MQ_TEST_TIMEOUT_SCALE};ASAN_OPTIONS=detect_leaks=${MQ_TEST_LEAKS}:abort_on_error=0:halt_on_error=1;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1;${ARG_ENVIRONMENT}")
endfunction()
