# The tests of the Windows build, run by CTest through Wine (CMAKE_CROSSCOMPILING_EMULATOR,
# set by scripts/build-windows) in a Wine prefix of their own that the first test makes (as
# Windows 10, the oldest Qt 6 runs on; Wine's own default is Windows 7). The
# services are tested by the same tests as on Linux; the registry and the Run key by the
# store's own Windows cases.
set(VENNATRO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
find_program(WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
add_test(NAME wine_prefix COMMAND /bin/sh -c
    "rm -rf '${VENNATRO_WINEPREFIX}' && '${CMAKE_CROSSCOMPILING_EMULATOR}' wineboot -i && '${CMAKE_CROSSCOMPILING_EMULATOR}' winecfg /v win10 && '${WINESERVER}' -w")
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300
    ENVIRONMENT "WINEPREFIX=${VENNATRO_WINEPREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")

set(_windows_tests)
macro(vn_windows_test name)
    vn_test(${name} ${ARGN})
    list(APPEND _windows_tests ${name})
endmacro()

vn_windows_test(test_usualfunctions test_usualfunctions.cpp LIBS vn_platform)
vn_windows_test(test_systeminfo test_systeminfo.cpp LIBS vn_platform)
vn_windows_test(test_pingtarget test_pingtarget.cpp LIBS vn_engine)
vn_windows_test(test_engine test_engine.cpp LIBS vn_engine)
vn_windows_test(test_socket test_socket.cpp LIBS vn_net)
vn_windows_test(test_store test_store.cpp LIBS vn_settings)
vn_windows_test(test_commandline test_commandline.cpp LIBS vn_cli)
add_dependencies(test_commandline vennatro)

# The registry cases of test_store change HKEY_CURRENT_USER: only in the test's own prefix.
set_tests_properties(${_windows_tests} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;WINEPREFIX=${VENNATRO_WINEPREFIX};WINEDEBUG=-all;VENNATRO_TEST_REGISTRY=1")

# End-to-end: dist/ (made by scripts/build-windows after the build) under Wine in a prefix of
# its own, against nginx, with the window on Xvfb and a tray (windows/wine_e2e.py). Alone: the
# window's waits are generous, but Wine's start-up on two busy cores is slow.
add_test(NAME wine_e2e COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/windows/wine_e2e.py
         --dist ${CMAKE_BINARY_DIR}/dist)
set_tests_properties(wine_e2e PROPERTIES LABELS e2e TIMEOUT 900 RUN_SERIAL TRUE)
