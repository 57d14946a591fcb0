# The Python module (python/, import name quorell): built when the system's
# Python 3 with its headers and pybind11 are there, which scripts/bootstrap
# installs. QSS_PYTHON=OFF leaves it out; Python3_EXECUTABLE picks another
# interpreter.

set(QSS_PYTHON_FOUND OFF)
if(QSS_TOP_LEVEL AND NOT CMAKE_CROSSCOMPILING)
  # The module is for the interpreter the system's packages serve (pybind11,
  # pytest), not for whichever python3 comes first on a developer's PATH.
  if(NOT Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The Python the quorell module is built for")
  endif()
  find_package(Python3 COMPONENTS Interpreter Development QUIET)
  if(Python3_FOUND)
    find_package(pybind11 CONFIG QUIET)
  endif()
  if(Python3_FOUND AND pybind11_FOUND)
    set(QSS_PYTHON_FOUND ON)
  endif()
endif()

option(QSS_PYTHON "Build the Python module quorell" ${QSS_PYTHON_FOUND})
if(QSS_PYTHON AND NOT QSS_PYTHON_FOUND)
  message(FATAL_ERROR "QSS_PYTHON needs Python 3 with its headers and pybind11 (scripts/bootstrap installs them)")
endif()
