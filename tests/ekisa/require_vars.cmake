# For scripts run with -P: stops when the caller left out a named variable.
macro(require_vars)
  foreach(var ${ARGN})
    if(NOT ${var})
      message(FATAL_ERROR "${var} is not set")
    endif()
  endforeach()
endmacro()
