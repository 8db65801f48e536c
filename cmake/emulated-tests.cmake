# Cross builds: tests run on the build machine through the emulator
# (CMAKE_CROSSCOMPILING_EMULATOR). CTest already prefixes it to test programs
# built here; this covers the rest. Include at the end of tests/CMakeLists.txt.
if(NOT (CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR))
  return()
endif()

# The Python interpreter is the build machine's own; CMake would otherwise put
# the emulator in front of this imported program too.
if(TARGET Python3::Interpreter)
  set_property(TARGET Python3::Interpreter PROPERTY CROSSCOMPILING_EMULATOR "")
endif()

# Script tests start the built programs themselves; the sitecustomize.py in
# emulated-tests/ makes their Python run those through the emulator.
set(_qrn_emulator "")
foreach(arg IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
  string(APPEND _qrn_emulator " '${arg}'")
endforeach()
get_property(_qrn_script_tests DIRECTORY PROPERTY TESTS)
if(_qrn_script_tests)
  set_property(TEST ${_qrn_script_tests} APPEND PROPERTY ENVIRONMENT
    "PYTHONPATH=${CMAKE_CURRENT_LIST_DIR}/emulated-tests"
    "PYTHONDONTWRITEBYTECODE=1"
    "QRN_TEST_EMULATOR=${_qrn_emulator}")
endif()
