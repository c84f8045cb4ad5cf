# Fails when a file of the core (src/core) names Python.h or PyObject: the core is
# plain C++ under the binding, and never sees the interpreter.
#
# Included by CMakeLists.txt at configure time, and run before each build that follows
# a change of a core file:  cmake -DKELVANE_CHECK_FILES="a.hpp;b.cpp" -P check_core.cmake

set(_kelvane_offences "")
foreach(_file IN LISTS KELVANE_CHECK_FILES)
  file(STRINGS "${_file}" _lines REGEX "Python\\.h|PyObject")
  foreach(_line IN LISTS _lines)
    string(STRIP "${_line}" _line)
    string(APPEND _kelvane_offences "\n  ${_file}: ${_line}")
  endforeach()
endforeach()
if(_kelvane_offences)
  message(FATAL_ERROR
    "src/core must not include Python.h or name PyObject: the core is plain C++ "
    "under the binding (src/python converts, raises and handles the interpreter lock). "
    "Offending lines:${_kelvane_offences}")
endif()
