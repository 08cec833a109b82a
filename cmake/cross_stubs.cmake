# Builds the stub of every machine of SFX_CROSS_MACHINES with Debian's cross compiler, each in
# a build tree of its own (build/cross/MACHINE) configured from this same source with a
# toolchain file written from cross-toolchain.cmake.in. Each stub is written beside the native
# one as sfx_stub-MACHINE and installed with it. The unit tests of SFX_CROSS_TEST_MACHINE are
# built there too and run under its emulator by this build's CTest.
include(ExternalProject)
foreach(line IN LISTS SFX_CROSS_MACHINES)
  separate_arguments(fields UNIX_COMMAND "${line}")
  list(POP_FRONT fields machine debian_arch triplet emulator_name)
  list(JOIN fields " " flags)
  if(machine STREQUAL SFX_STUB_MACHINE)
    continue()  # The native build makes this machine's stub.
  endif()
  find_program(SFX_CXX_${machine} ${triplet}-g++)
  if(NOT SFX_CXX_${machine})
    message(FATAL_ERROR "${triplet}-g++ is missing: scripts/install-deps.sh installs it "
                        "(-DSFX_CROSS_STUBS=OFF builds the native stub alone)")
  endif()
  find_program(SFX_EMULATOR_${machine} ${emulator_name})
  set(emulator ${SFX_EMULATOR_${machine}})
  if(NOT emulator)
    message(WARNING "${emulator_name} is missing: the stub for ${machine} is built but not "
                    "tested (scripts/install-deps.sh installs qemu-user-static)")
    set(emulator ${emulator_name})
  endif()

  set(cross_dir ${PROJECT_BINARY_DIR}/cross/${machine})
  set(target_libs ${cross_dir}/target-libs)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/cross-toolchain.cmake.in
                 ${PROJECT_BINARY_DIR}/cross/${machine}.cmake @ONLY)
  set(unit_tests OFF)
  if(machine STREQUAL SFX_CROSS_TEST_MACHINE AND BUILD_TESTING AND SFX_CROSS_TESTS
     AND SFX_EMULATOR_${machine})
    set(unit_tests ON)
  endif()
  ExternalProject_Add(sfx_stub_${machine}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${cross_dir}
    PREFIX ${PROJECT_BINARY_DIR}/cross/${machine}-steps
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_BINARY_DIR}/cross/${machine}.cmake
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DSFX_WERROR=${SFX_WERROR}
      -DSFX_FAST_INFLATE=${SFX_FAST_INFLATE}
      "-DSFX_TOOLSET=${SFX_TOOLSET}"
      -DSFX_ISAL_SOURCE=${PROJECT_BINARY_DIR}/isal/download
      -DSFX_STUB_OUTPUT_DIR=${PROJECT_BINARY_DIR}
      -DBUILD_TESTING=${unit_tests}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${PROJECT_BINARY_DIR}/sfx_stub-${machine})
  install(PROGRAMS ${PROJECT_BINARY_DIR}/sfx_stub-${machine} DESTINATION ${SFX_STUB_INSTALL_DIR})
  list(APPEND SFX_BUILT_CROSS_MACHINES ${machine})

  if(BUILD_TESTING AND SFX_CROSS_TESTS AND SFX_EMULATOR_${machine})
    list(APPEND SFX_EMULATED_MACHINES ${machine})
  endif()
  if(unit_tests)
    # Each test in a process of its own, as natively; two at a time. qemu-user keeps the
    # highest real-time signals for itself and never delivers a sent SIGRTMAX, so the test that
    # sends every terminating signal runs natively only.
    add_test(NAME unit_tests_${machine}
             COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${cross_dir} --output-on-failure -j 2
                     -E "^CleanUpOnSignals\\.SentSignalsCleanUpAndEndTheProcessByThemselves$")
    set_tests_properties(unit_tests_${machine} PROPERTIES LABELS emulated PROCESSORS 2
                                                          TIMEOUT 1800)
  endif()
endforeach()
