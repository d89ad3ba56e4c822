# Fails when the static library LIB references a symbol of the C++ runtime.
execute_process(COMMAND nm -u -C ${LIB} OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]*(operator new|operator delete|__cxa_|__gxx_personality|typeinfo|std::|_Unwind_)[^\n]*"
       hits "${undefined}")
if(hits)
  list(REMOVE_DUPLICATES hits)
  string(REPLACE ";" "\n" hits "${hits}")
  message(FATAL_ERROR "${LIB} references the C++ runtime:\n${hits}")
endif()
message(STATUS "${LIB}: no C++ runtime symbol referenced")
