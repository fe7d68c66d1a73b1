# Warnings are errors-in-waiting: keep every target clean with -Wall -Wextra.
function(esl_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()
